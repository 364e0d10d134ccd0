# Run by cpack once the packages' files are staged. What a package installs under
# /etc is a conffile, as Debian policy asks: each package that has some lists them
# in a control file of its own.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/etc/*)
  if(files)
    set(conffiles ${CPACK_PLUMO_CONFFILES_DIR}/${component}/conffiles)
    list(TRANSFORM files PREPEND /)
    list(JOIN files "\n" lines)
    file(WRITE ${conffiles} "${lines}\n")
    string(TOUPPER ${component} COMPONENT)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_CONTROL_EXTRA ${conffiles})
  endif()
endforeach()
