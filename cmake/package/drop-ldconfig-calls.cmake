# Run by CPack after it made the packages (CPACK_POST_BUILD_SCRIPTS). CPack
# gives a .deb with libraries in /usr/lib a postinst and a postrm that call
# ldconfig; Debian replaced such calls by libc's ldconfig trigger, which the
# package activates (its triggers file). The package is rebuilt without the
# two scripts, its files and other control files unchanged.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/deb-rebuild)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} RESULT_VARIABLE status)
  if(status EQUAL 0)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
      OUTPUT_QUIET RESULT_VARIABLE status)
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not rebuild ${package} without its ldconfig calls")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
