cmake_minimum_required(VERSION 3.25)
# The capture tool as a user runs it: simulated cameras come up from unprogrammed, frames land
# as files, an earlier capture is never overwritten silently, cameras are chosen by name, serial
# or index, settings go through the settings page and survive a save and a restore, every
# command has its help, and mistakes give the documented exit codes.
# Run with -DQORCAP=<program> -DWORK=<scratch dir> -DPYTHON=<python with json>.

file(REMOVE_RECURSE ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/qorcap_run.cmake)

# The summary line: `field` of it (e.g. written) in `var`.
function(summary_field field var)
  if(NOT out MATCHES "\nsummary [^\n]*${field}=([^ \n]*)")
    message(FATAL_ERROR "no ${field}= in the summary:\n${out}")
  endif()
  set(${var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# Parses `text` as JSON with an independent reader.
function(expect_json text what)
  file(WRITE ${WORK}/json.txt "${text}")
  execute_process(COMMAND ${PYTHON} -m json.tool ${WORK}/json.txt RESULT_VARIABLE code
                  OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${what} is not JSON: ${err}\n${text}")
  endif()
endfunction()

# Colour frames as PNG; the summary line says what was captured and written.
run(0 capture --frames 3 --out ${WORK}/colour)
file(GLOB pngs ${WORK}/colour/frame-*.png)
list(LENGTH pngs count)
summary_field(frames frames)
summary_field(written written)
summary_field(format format)
summary_field(out where)
if(NOT count EQUAL 3 OR NOT frames EQUAL 3 OR NOT written EQUAL 3 OR NOT format STREQUAL "png"
   OR NOT where STREQUAL "${WORK}/colour")
  message(FATAL_ERROR "3 frames asked for, ${count} PNG files written:\n${out}")
endif()
# The capture's own time, and the total with the writing, each measured.
summary_field(seconds seconds)
summary_field(total_seconds total)
if(NOT seconds MATCHES "^[0-9]+\\.[0-9][0-9][0-9]$" OR seconds GREATER total)
  message(FATAL_ERROR "capture time ${seconds} s, total ${total} s:\n${out}")
endif()

# The same folder again: the earlier capture is left alone and a new folder used, with a note.
run(0 capture --frames 2 --out ${WORK}/colour)
summary_field(out where)
if(NOT where STREQUAL "${WORK}/colour-2" OR NOT err MATCHES "colour-2")
  message(FATAL_ERROR "a second capture into the same folder went to ${where}:\n${out}\n${err}")
endif()
file(GLOB pngs ${WORK}/colour/frame-*.png)
list(LENGTH pngs count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "the first capture's folder was changed: ${count} files")
endif()
# --overwrite writes in place.
run(0 capture --frames 1 --overwrite --out ${WORK}/colour)
summary_field(out where)
if(NOT where STREQUAL "${WORK}/colour")
  message(FATAL_ERROR "--overwrite wrote to ${where}:\n${out}")
endif()

# Grey frames of a monochrome model; no files with --no-png, and none claimed.
run(0 --sim-model 00A1 --mode preview --frames 2 --no-png --out ${WORK}/grey)
summary_field(written written)
if(NOT out MATCHES "640 x 480, grey" OR NOT written EQUAL 0 OR EXISTS ${WORK}/grey)
  message(FATAL_ERROR "--no-png wrote or claimed frames:\n${out}")
endif()

# Two simulated cameras, listed with index, name, serial, state and place.
run(0 list --sim-model 01A8 --sim-model 00A1)
# The second in the list (the first is the default): its index, name, serial and model.
if(NOT out MATCHES "\n1  (Qorvanta [^\n]*-([A-Za-z0-9]+))  serial ([A-Za-z0-9]+)  model ([0-9A-F]+)")
  message(FATAL_ERROR "list does not show a second camera:\n${out}")
endif()
set(second "${CMAKE_MATCH_1}")
set(serial "${CMAKE_MATCH_3}")
set(model "${CMAKE_MATCH_4}")
if(NOT CMAKE_MATCH_2 STREQUAL serial)
  message(FATAL_ERROR "the name ${second} does not end in the serial ${serial}")
endif()
string(REGEX MATCHALL "\\[registered, bus [0-9]+ port [0-9.]+, simulated\\]" states "${out}")
list(LENGTH states listed)
if(NOT listed EQUAL 2 OR NOT out MATCHES "model 01A8" OR NOT out MATCHES "model 00A1"
   OR NOT out MATCHES "simulated models.*00A1.*01A8.*01AF")
  message(FATAL_ERROR "list does not show both cameras' state and place, or the models:\n${out}")
endif()
run(0 list --json --sim-model 01A8,00A1)
expect_json("${out}" "list --json")
if(NOT out MATCHES "\"serial\":\"${serial}\"" OR NOT out MATCHES "\"simulated_models\":\\[")
  message(FATAL_ERROR "list --json lacks the serial or the models:\n${out}")
endif()
# The second camera chosen by name, by serial and by index.
foreach(which "${second}" "${serial}" 1)
  run(0 --sim-model 01A8 --sim-model 00A1 --camera "${which}" --frames 1 --no-png)
  if(NOT out MATCHES "model ${model}")
    message(FATAL_ERROR "--camera ${which} did not choose the camera of model ${model}:\n${out}")
  endif()
endforeach()
run(2 --sim-model 01A8 --camera 5 --frames 1 --no-png)

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

# --sim-model without a value lists every simulated model, with its sensor and cooling.
run(0 --sim-model)
string(REGEX MATCHALL "\n  [0-9A-F][0-9A-F][0-9A-F][0-9A-F]  " models "${out}")
list(LENGTH models count)
if(count LESS 20 OR NOT out MATCHES "01A8  [^\n]*1392 x 1040  colour \\([RGB]+\\)  cooled"
   OR NOT out MATCHES "00A1  [^\n]*1280 x 1024  mono")
  message(FATAL_ERROR "--sim-model does not list the models:\n${out}")
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
run(0 show --load ${WORK}/camera.qset --json)
expect_json("${out}" "show --json")
if(NOT out MATCHES "\"flip-v\":\"on\"" OR NOT out MATCHES "\"gamma\":\"1.50\"")
  message(FATAL_ERROR "settings not restored:\n${out}")
endif()
run(1 show exposure=100000)
if(NOT err MATCHES "exposure must be between")
  message(FATAL_ERROR "no range given for a wrong exposure:\n${err}")
endif()

# Help for the program and each command; the version.
run(0 --help)
if(NOT out MATCHES "list" OR NOT out MATCHES "show" OR NOT out MATCHES "capture"
   OR NOT out MATCHES "--format" OR NOT out MATCHES "130")
  message(FATAL_ERROR "--help lacks the commands, options or exit codes:\n${out}")
endif()
foreach(command list show capture)
  run(0 ${command} --help)
  if(NOT out MATCHES "qorcap ${command}")
    message(FATAL_ERROR "${command} --help:\n${out}")
  endif()
endforeach()
run(0 --version)
if(NOT out MATCHES "^qorcap [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "--version: ${out}")
endif()

# Mistakes.
run(2 --camera "no such camera" --out ${WORK}/none)
run(1 --frames 0)
run(1 --frames 2 --seconds 1)
run(1 --mode movie)
run(1 --format gif)
run(1 --sim-model xyz)
run(1 bogus=1)
run(1 list --frames 2)
file(WRITE ${WORK}/file "not a directory")
run(5 --frames 1 --out ${WORK}/file/sub)
if(NOT err MATCHES "${WORK}/file/sub")
  message(FATAL_ERROR "an unwritable folder not named:\n${err}")
endif()

file(REMOVE_RECURSE ${WORK})
