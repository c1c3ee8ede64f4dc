# The file writers and the recorder that runs them.
target_sources(qorvanta_capture PRIVATE)
