# The file writers and the recorder that runs them.
target_sources(qorvanta_capture PRIVATE recorder.cpp sidecar.cpp writer_common.cpp
               writer_fits.cpp writer_png.cpp writer_ser.cpp writer_tiff.cpp)
