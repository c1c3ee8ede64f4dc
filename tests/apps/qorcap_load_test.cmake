cmake_minimum_required(VERSION 3.25)
# Restoring saved settings with the capture tool as a user does: anything that is not a settings
# file this driver can apply, or that the camera cannot take in full, is reported and the run
# fails; a settings page that cannot be built is reported, not shown empty.
# Run with -DQORCAP=<program> -DWORK=<scratch dir> -DRESOURCES=<the repository's resources>.

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/qorcap_run.cmake)

# A load that must fail with exit 1, a message matching `pattern` and no page shown.
function(refused pattern)
  run(1 ${ARGN})
  if(NOT err MATCHES "${pattern}")
    message(FATAL_ERROR "qorcap ${ARGN}: the message does not say \"${pattern}\":\n${err}")
  endif()
  if(out MATCHES "flip-v")
    message(FATAL_ERROR "qorcap ${ARGN}: the page was shown after a failed load:\n${out}")
  endif()
endfunction()

# Writes `byte` (1 to 127) at `offset` of `file`, leaving the rest as it is.
function(poke file offset byte)
  string(ASCII ${byte} char)
  file(WRITE ${WORK}/byte "${char}")
  execute_process(COMMAND dd if=${WORK}/byte of=${file} bs=1 seek=${offset} count=1
                          conv=notrunc status=none RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "cannot change ${file}")
  endif()
endfunction()

run(0 --sim-model 01A8 show size=full matrix=2 hue=20 flip-v=on --save ${WORK}/colour.qset)
# Loaded by the same model: taken in full.
run(0 --sim-model 01A8 show --load ${WORK}/colour.qset)
if(NOT out MATCHES "hue +20" OR NOT out MATCHES "Matrix 2")
  message(FATAL_ERROR "settings not restored:\n${out}")
endif()

refused("is a directory" show --load ${WORK})
refused("cannot read" show --load ${WORK}/missing.qset)
string(RANDOM LENGTH 114 random)
file(WRITE ${WORK}/random.qset "${random}")
refused("not a settings file of this camera driver: nothing was applied" show --load
        ${WORK}/random.qset)
file(WRITE ${WORK}/short.qset "settings")
refused("not a settings file" show --load ${WORK}/short.qset)

# Version 2.0 of the block.
file(COPY_FILE ${WORK}/colour.qset ${WORK}/version2.qset)
poke(${WORK}/version2.qset 1 2)
refused("another version \\(0x00020000" show --load ${WORK}/version2.qset)

# A rounding mode the page does not offer.
file(COPY_FILE ${WORK}/colour.qset ${WORK}/damaged.qset)
poke(${WORK}/damaged.qset 75 9)
refused("damaged" show --load ${WORK}/damaged.qset)

# Saved from a colour camera at its full size, loaded by a monochrome one of a smaller sensor.
refused("another camera: .*size 1392 x 1040.*matrix.*hue" --sim-model 00A1 show --load
        ${WORK}/colour.qset)

# A bundle whose page item list cannot be read: the page is reported, not shown empty.
file(READ ${RESOURCES}/QorvantaPanel.rsrc text)
string(FIND "${text}" "resource 'DITL' 16666" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the panel's resource file has no page")
endif()
string(SUBSTRING "${text}" 0 ${at} head)
file(MAKE_DIRECTORY ${WORK}/bundle)
file(WRITE ${WORK}/bundle/QorvantaPanel.rsrc
     "${head}resource 'DITL' 16666\n  hex 00 05 00 00 00 00 00 0a\nend\n")
file(CREATE_LINK ${RESOURCES}/Firmware ${WORK}/bundle/Firmware SYMBOLIC)
file(CREATE_LINK ${RESOURCES}/FPGA ${WORK}/bundle/FPGA SYMBOLIC)
set(plain_qorcap ${QORCAP})
set(QORCAP ${CMAKE_COMMAND} -E env QORVANTA_BUNDLE=${WORK}/bundle ${plain_qorcap})
run(3 show)
if(NOT err MATCHES "cannot be read" OR NOT err MATCHES "page did not open")
  message(FATAL_ERROR "the unreadable page was not reported:\n${out}\n${err}")
endif()
set(QORCAP ${plain_qorcap})

file(REMOVE_RECURSE ${WORK})
