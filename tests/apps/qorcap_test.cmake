cmake_minimum_required(VERSION 3.25)
# The capture tool as a user runs it: simulated cameras come up from unprogrammed, frames land
# as files, settings go through the settings page and survive a save and a restore, and mistakes
# give the documented exit codes. Run with -DQORCAP=<program> -DWORK=<scratch dir>.

file(REMOVE_RECURSE ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/qorcap_run.cmake)

# Colour frames as PNG.
run(0 capture --frames 3 --out ${WORK}/colour)
file(GLOB pngs ${WORK}/colour/frame-*.png)
list(LENGTH pngs count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "3 frames asked for, ${count} PNG files written:\n${out}")
endif()
# A loaded machine may make the program fall behind the camera, so any count of drops will do.
if(NOT out MATCHES "3 frames delivered" OR NOT out MATCHES "[0-9]+ frames dropped \\(")
  message(FATAL_ERROR "summary missing or wrong:\n${out}")
endif()
file(READ ${WORK}/colour/frame-00001.png signature LIMIT 8 HEX)
if(NOT signature STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "frame-00001.png is not a PNG file")
endif()

# Grey frames of a monochrome model, with the bytes as delivered: one per pixel.
run(0 --sim-model 00A1 --mode preview --frames 2 --raw --out ${WORK}/grey)
file(SIZE ${WORK}/grey/frame-00002.raw bytes)
if(NOT out MATCHES "640 x 480, grey" OR NOT bytes EQUAL 307200)
  message(FATAL_ERROR "grey raw frame of ${bytes} bytes:\n${out}")
endif()

# Two simulated cameras, one chosen by its listed name.
run(0 list --sim-model 01A8 --sim-model 00A1)
string(REGEX MATCH "Qorvanta QV-1M-[A-Z0-9]+" second "${out}")
if(second STREQUAL "")
  message(FATAL_ERROR "list does not show the monochrome camera:\n${out}")
endif()
# Each camera with how far it came up, where it is plugged in, and whether it is real.
string(REGEX MATCHALL "\\[registered, bus [0-9]+ port [0-9.]+, simulated\\]" states "${out}")
list(LENGTH states listed)
if(NOT listed EQUAL 2)
  message(FATAL_ERROR "list does not show both cameras' state and place:\n${out}")
endif()

# The simulated models from the environment, for any program; a comma list on the command line.
set(ENV{QORVANTA_SIM_MODELS} "008C,00A1")
run(0 list)
if(NOT out MATCHES "model 008C" OR NOT out MATCHES "model 00A1" OR out MATCHES "model 01A8")
  message(FATAL_ERROR "QORVANTA_SIM_MODELS not followed:\n${out}")
endif()
set(ENV{QORVANTA_SIM_MODELS} "008C,XYZ")
run(2 list --sim)
if(NOT err MATCHES "QORVANTA_SIM_MODELS: \"XYZ\" is not the product id of a camera model")
  message(FATAL_ERROR "a bad QORVANTA_SIM_MODELS not reported:\n${err}")
endif()
unset(ENV{QORVANTA_SIM_MODELS})
run(0 list --backend sim --sim-model 01A8,00A1)
if(NOT out MATCHES "model 01A8" OR NOT out MATCHES "model 00A1")
  message(FATAL_ERROR "--sim-model with a list not followed:\n${out}")
endif()
run(1 list --backend simulated)
if(NOT err MATCHES "--backend is usb, sim or auto")
  message(FATAL_ERROR "a bad --backend not reported:\n${err}")
endif()
set(ENV{QORVANTA_BACKEND} "bogus")
run(2 list)
if(NOT err MATCHES "QORVANTA_BACKEND is usb, sim or auto")
  message(FATAL_ERROR "a bad QORVANTA_BACKEND not reported:\n${err}")
endif()
unset(ENV{QORVANTA_BACKEND})
run(0 --sim-model 01A8 --sim-model 00A1 --camera "${second}" --frames 1 --no-png
    --out ${WORK}/chosen)
if(NOT out MATCHES "model 00A1")
  message(FATAL_ERROR "the named camera was not used:\n${out}")
endif()

# Settings set through the settings page, saved, and restored by another run.
run(0 show flip-v=on gamma=1.5 matrix=2 --save ${WORK}/camera.qset)
if(NOT out MATCHES "flip-v +on" OR NOT out MATCHES "gamma +1.50" OR NOT out MATCHES "Matrix 2")
  message(FATAL_ERROR "settings not shown as set:\n${out}")
endif()
file(SIZE ${WORK}/camera.qset bytes)
if(NOT bytes EQUAL 114)
  message(FATAL_ERROR "the saved settings are ${bytes} bytes")
endif()
run(0 show --load ${WORK}/camera.qset)
if(NOT out MATCHES "flip-v +on" OR NOT out MATCHES "gamma +1.50" OR NOT out MATCHES "Matrix 2")
  message(FATAL_ERROR "settings not restored:\n${out}")
endif()
run(1 show exposure=100000)
if(NOT err MATCHES "exposure must be between")
  message(FATAL_ERROR "no range given for a wrong exposure:\n${err}")
endif()

# Mistakes.
run(2 --camera "no such camera" --out ${WORK}/none)
run(1 --frames 0)
run(1 --mode movie)
run(1 --sim-model xyz)
run(1 bogus=1)
file(WRITE ${WORK}/file "not a directory")
run(5 --frames 1 --out ${WORK}/file/sub)

file(REMOVE_RECURSE ${WORK})
