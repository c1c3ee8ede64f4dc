# The capture session: bring-up, cameras, settings, frames.
target_sources(qorvanta_capture PRIVATE)
