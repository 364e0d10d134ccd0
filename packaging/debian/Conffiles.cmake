# Run by cpack once the packages' files are staged. What a package installs under
# /etc is a conffile, as Debian policy asks: each package lists its own in the
# control file that CPACK_DEBIAN_<COMPONENT>_PACKAGE_CONTROL_EXTRA names.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  set(conffiles ${CPACK_PLUMO_CONFFILES_DIR}/${component}/conffiles)
  file(REMOVE ${conffiles})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/etc/*)
  if(files)
    list(TRANSFORM files PREPEND /)
    list(JOIN files "\n" lines)
    file(WRITE ${conffiles} "${lines}\n")
  endif()
endforeach()
