# What `cmake --install` puts where: the library with its headers, pkg-config file and CMake
# package, qorcap, the udev rule, and the driver's data directory QORVANTA_DATA_DIR (the panel's
# resource file, the udev rule's copy that messages point at, Firmware/ and FPGA/ for the camera
# maker's files, and the simulator's images under simulator/).
include(CMakePackageConfigHelpers)

set(QOR_DATA_DESTINATION ${CMAKE_INSTALL_DATADIR}/qorvanta)
set(QOR_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Qorvanta)

# The udev rule, made from the configured vendor ids and the models' product ids.
set(QOR_UDEV_RULE_FILE ${PROJECT_BINARY_DIR}/${QORVANTA_UDEV_RULE})
add_custom_command(OUTPUT ${QOR_UDEV_RULE_FILE}
  COMMAND qorvanta_gen_resources --udev-rule ${QOR_UDEV_RULE_FILE}
          ${QORVANTA_VENDOR_ID} ${QORVANTA_VENDOR_ID2}
  DEPENDS qorvanta_gen_resources
  COMMENT "Generating the udev rule ${QORVANTA_UDEV_RULE}")
add_custom_target(qorvanta_udev_rule ALL DEPENDS ${QOR_UDEV_RULE_FILE})

install(TARGETS qorvanta EXPORT QorvantaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/qorvanta DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# pkg-config: absolute paths, so that PKG_CONFIG_SYSROOT_DIR can place a staged tree.
configure_file(cmake/qorvanta.pc.in ${PROJECT_BINARY_DIR}/qorvanta.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qorvanta.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The CMake package: find_package(Qorvanta) gives Qorvanta::qorvanta. Its paths are relative to
# where it is installed.
install(EXPORT QorvantaTargets NAMESPACE Qorvanta:: FILE QorvantaTargets.cmake
  DESTINATION ${QOR_CMAKE_DESTINATION})
configure_package_config_file(cmake/QorvantaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QorvantaConfig.cmake INSTALL_DESTINATION ${QOR_CMAKE_DESTINATION})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QorvantaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QorvantaConfig.cmake
              ${PROJECT_BINARY_DIR}/QorvantaConfigVersion.cmake
  DESTINATION ${QOR_CMAKE_DESTINATION})

# The data directory.
install(FILES resources/QorvantaPanel.rsrc ${QOR_UDEV_RULE_FILE} DESTINATION ${QOR_DATA_DESTINATION})
configure_file(cmake/maker-files-README.txt.in ${PROJECT_BINARY_DIR}/maker-files-README.txt @ONLY)
foreach(kind IN ITEMS Firmware FPGA)
  install(FILES ${PROJECT_BINARY_DIR}/maker-files-README.txt
    DESTINATION ${QOR_DATA_DESTINATION}/${kind} RENAME README.txt)
endforeach()
install(DIRECTORY resources/Firmware resources/FPGA DESTINATION ${QOR_DATA_DESTINATION}/simulator)

install(FILES ${QOR_UDEV_RULE_FILE} DESTINATION ${QORVANTA_UDEV_RULES_DIR})
