# The capture session: bring-up, cameras, settings, frames.
target_sources(qorvanta_capture PRIVATE session.cpp session_system.cpp session_camera.cpp
               settings_page.cpp)
