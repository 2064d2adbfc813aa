# Install rules and packaging.
#
# Two components:
#   runtime  the shared library (.so.1 and .so.1.0.0), the host quillmar-clip,
#            its man page, its shell completions, the systemd user units (X11
#            and Wayland) and the README;
#   dev      the .so link, the public header, the CMake package and the
#            pkg-config file.
# `cmake --install <build> [--prefix DIR] [--component runtime|dev]`, or
# `cpack -G DEB` in the build directory for one Debian package of each.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLMAR_PACKAGE_NAME ${PROJECT_NAME})
set(QUILLMAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QUILLMAR_PACKAGE_NAME}
  CACHE STRING "Where the CMake package goes, relative to the prefix")
# systemd looks for user units in <prefix>/lib/systemd/user, never in a
# multiarch directory.
set(QUILLMAR_SYSTEMD_USER_UNIT_DIR lib/systemd/user
  CACHE STRING "Where the systemd user unit goes, relative to the prefix")
mark_as_advanced(QUILLMAR_CMAKE_DIR QUILLMAR_SYSTEMD_USER_UNIT_DIR)

# --- the library and its header ---------------------------------------------

install(TARGETS quillmar_clip
  EXPORT quillmar-clipboard-history-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/quillmar_clip.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)

# --- CMake package ----------------------------------------------------------
# yyjson is linked privately into the shared library, so the package asks
# nothing of it: consumers link libquillmar-clipboard-history.so alone and
# the loader finds libyyjson through the library's own DT_NEEDED entry.

install(EXPORT quillmar-clipboard-history-targets
  NAMESPACE quillmar::
  FILE ${QUILLMAR_PACKAGE_NAME}Targets.cmake
  DESTINATION ${QUILLMAR_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quillmar-clipboard-historyConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}Config.cmake
  INSTALL_DESTINATION ${QUILLMAR_CMAKE_DIR}
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${QUILLMAR_PACKAGE_NAME}ConfigVersion.cmake
  DESTINATION ${QUILLMAR_CMAKE_DIR}
  COMPONENT dev)

# --- files that name the install prefix -------------------------------------
# The pkg-config file and the systemd unit carry absolute paths, so they are
# written at install time from the prefix actually used: `cmake --install
# --prefix DIR` and CPack's staging both get the right paths.

# quillmar_install_configured(<template> <file name> <destination> <component>)
# Fills @QUILLMAR_PREFIX@, @QUILLMAR_FULL_<dir>@ (the absolute directory) and
# @QUILLMAR_PC_<dir>@ (the same below ${prefix}) for LIBDIR, INCLUDEDIR and
# BINDIR, @PROJECT_VERSION@ and @PROJECT_DESCRIPTION@.
function(quillmar_install_configured template name destination component)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/install-configured/${name})
  set(code "set(QUILLMAR_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")\n")
  foreach(dir LIBDIR INCLUDEDIR BINDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(full "${CMAKE_INSTALL_${dir}}")
    else()
      set(full "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_${dir}}")
    endif()
    string(APPEND code "set(QUILLMAR_FULL_${dir} \"${full}\")\n")
    # The same directory as pkg-config writes it, below ${prefix}.
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(pc "${CMAKE_INSTALL_${dir}}")
    else()
      set(pc "\\\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
    string(APPEND code "set(QUILLMAR_PC_${dir} \"${pc}\")\n")
  endforeach()
  if(NOT IS_ABSOLUTE "${destination}")
    set(destination "\${CMAKE_INSTALL_PREFIX}/${destination}")
  endif()
  install(CODE "${code}
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    configure_file(\"${template}\" \"${staged}\" @ONLY)
    file(INSTALL \"${staged}\"
      DESTINATION \"${destination}\"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  " COMPONENT ${component})
endfunction()

quillmar_install_configured(
  ${CMAKE_CURRENT_LIST_DIR}/quillmar-clipboard-history.pc.in
  ${QUILLMAR_PACKAGE_NAME}.pc
  ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  dev)

# --- the host, its man page and its systemd user units ----------------------

if(TARGET quillmar-clip)
  install(TARGETS quillmar-clip
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT runtime)

  # Outside the system's library directories the installed host finds the
  # library relative to itself; under /usr it needs no run path at all.
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES
    ${CMAKE_INSTALL_FULL_LIBDIR} quillmar_libdir_is_system)
  if(quillmar_libdir_is_system EQUAL -1)
    file(RELATIVE_PATH quillmar_bin_to_lib
      ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(quillmar-clip PROPERTIES
      INSTALL_RPATH "$ORIGIN/${quillmar_bin_to_lib}")
  endif()

  quillmar_install_configured(
    ${PROJECT_SOURCE_DIR}/dist/quillmar-clip-watch.service.in
    quillmar-clip-watch.service
    ${QUILLMAR_SYSTEMD_USER_UNIT_DIR}
    runtime)
  quillmar_install_configured(
    ${PROJECT_SOURCE_DIR}/dist/quillmar-clip-watch-wayland.service.in
    quillmar-clip-watch-wayland.service
    ${QUILLMAR_SYSTEMD_USER_UNIT_DIR}
    runtime)

  # The shell completion scripts are written by the host itself, so that
  # they always know its commands and options; a host built for another
  # machine cannot run here to write them.
  if(NOT CMAKE_CROSSCOMPILING)
    set(quillmar_completion_dir ${CMAKE_CURRENT_BINARY_DIR}/completions)
    set(quillmar_completion_bash ${quillmar_completion_dir}/quillmar-clip)
    set(quillmar_completion_zsh ${quillmar_completion_dir}/_quillmar-clip)
    set(quillmar_completion_fish ${quillmar_completion_dir}/quillmar-clip.fish)
    add_custom_command(
      OUTPUT ${quillmar_completion_bash} ${quillmar_completion_zsh} ${quillmar_completion_fish}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${quillmar_completion_dir}
      COMMAND quillmar-clip completion bash > ${quillmar_completion_bash}
      COMMAND quillmar-clip completion zsh > ${quillmar_completion_zsh}
      COMMAND quillmar-clip completion fish > ${quillmar_completion_fish}
      DEPENDS quillmar-clip
      COMMENT "Writing the shell completion scripts of quillmar-clip")
    add_custom_target(quillmar_completions ALL
      DEPENDS ${quillmar_completion_bash} ${quillmar_completion_zsh} ${quillmar_completion_fish})
    # Where bash-completion, zsh and fish look for the scripts of packages.
    install(FILES ${quillmar_completion_bash}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      COMPONENT runtime)
    install(FILES ${quillmar_completion_zsh}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
      COMPONENT runtime)
    install(FILES ${quillmar_completion_fish}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d
      COMPONENT runtime)
  endif()
endif()

set(QUILLMAR_MAN_PAGE ${PROJECT_SOURCE_DIR}/tools/quillmar-clip.1)
if(EXISTS ${QUILLMAR_MAN_PAGE})
  # Man pages are installed gzip-compressed, as Debian expects.
  find_program(QUILLMAR_GZIP gzip)
  mark_as_advanced(QUILLMAR_GZIP)
  if(QUILLMAR_GZIP)
    set(quillmar_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/quillmar-clip.1.gz)
    add_custom_command(OUTPUT ${quillmar_man_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${QUILLMAR_GZIP} -9 -n -c ${QUILLMAR_MAN_PAGE} > ${quillmar_man_gz}
      DEPENDS ${QUILLMAR_MAN_PAGE}
      COMMENT "Compressing the man page quillmar-clip.1")
    add_custom_target(quillmar_man_page ALL DEPENDS ${quillmar_man_gz})
    install(FILES ${quillmar_man_gz}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT runtime)
  else()
    install(FILES ${QUILLMAR_MAN_PAGE}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT runtime)
  endif()
endif()

# --- documentation ----------------------------------------------------------

foreach(doc README.md CHANGELOG.md LICENSE LICENSE.md LICENSE.txt COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${doc})
    install(FILES ${PROJECT_SOURCE_DIR}/${doc}
      DESTINATION ${CMAKE_INSTALL_DOCDIR}
      COMPONENT runtime)
  endif()
endforeach()

# --- Debian packages --------------------------------------------------------
# One package per component:
#   quillmar-clipboard-history      the library, the host, the man page, the
#                                   systemd user unit (component runtime);
#   quillmar-clipboard-history-dev  the header, the .so link, the CMake package
#                                   and the pkg-config file (component dev).
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the library lands in the
# multiarch directory, build, then run `cpack -G DEB` in the build directory.

if(NOT QUILLMAR_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME ${QUILLMAR_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "quillmar")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quillmar-clipboard-history maintainers"
  CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

find_program(QUILLMAR_DPKG dpkg)
find_program(QUILLMAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(QUILLMAR_DPKG QUILLMAR_DPKG_SHLIBDEPS)
if(QUILLMAR_DPKG)
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUILLMAR_PACKAGE_NAME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
# The first line of each description is the package's short description.
# CPack would put a package-wide summary in front of both unless the summary
# is left at CPack's own default, which is what this line does.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "persistent clipboard history library and its host quillmar-clip
A shared library with a plain C interface that keeps a bounded history of
clipboard texts and PNG images in one store directory (an index clips.json and
one file per image), and the command-line host quillmar-clip, which follows the
X11 or the Wayland clipboard (quillmar-clip watch, also as the systemd user
units quillmar-clip-watch.service and quillmar-clip-watch-wayland.service)
and lists, searches, pins and deletes clips.")
# yyjson 0.12 is the oldest release the library is built and tested with;
# dpkg-shlibdeps alone would accept an older one from its symbols file.
set(quillmar_depends "libyyjson0 (>= 0.12)")
if(QUILLMAR_DPKG_SHLIBDEPS)
  # dpkg-shlibdeps adds libc6, the X libraries of the host and the others at
  # their minimum versions; the host's need of our own library is met inside
  # the package.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR})
elseif(TARGET quillmar-clip)
  # recover decodes PNG images with libpng.
  string(APPEND quillmar_depends ", libpng16-16")
  if(QUILLMAR_X11_FOUND)
    string(APPEND quillmar_depends ", libx11-6, libxfixes3")
  endif()
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${quillmar_depends})
# A shlibs file for libquillmar-clipboard-history.so.1 and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QUILLMAR_PACKAGE_NAME}-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "persistent clipboard history library (development files)
The C header quillmar_clip.h, the link libquillmar-clipboard-history.so, the
CMake package quillmar-clipboard-history (imported target
quillmar::clipboard-history) and the pkg-config file
quillmar-clipboard-history.pc.")
# The pkg-config file names yyjson, whose .pc only its -dev package carries.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${QUILLMAR_PACKAGE_NAME} (= ${PROJECT_VERSION}), libyyjson-dev (>= 0.12)")

include(CPack)
