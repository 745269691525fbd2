# Run by cpack: the package's Depends and Recommends, computed by
# dpkg-shlibdeps from the built binaries. GTK is needed by the alert module
# and the XEmbed tray icon's alone, which the launcher opens only to show an
# alert (without it the texts go to standard error) or an icon in a tray that
# speaks only XEmbed: their libraries are recommended, not required.
# dpkg-shlibdeps drops from Recommends what Depends has.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
set(dir ${CPACK_PACKAGE_DIRECTORY}/shlibdeps)
# dpkg-shlibdeps wants to run in a source package; an empty control will do.
file(WRITE ${dir}/debian/control "")
set(executables)
foreach(program ${CPACK_QUILLARY_PROGRAMS})
    list(APPEND executables -e${program})
endforeach()
set(modules)
foreach(module ${CPACK_QUILLARY_GTK_MODULES})
    list(APPEND modules -e${module})
endforeach()
execute_process(
    COMMAND dpkg-shlibdeps -O ${executables} -dRecommends ${modules}
    WORKING_DIRECTORY ${dir}
    OUTPUT_VARIABLE substvars
    COMMAND_ERROR_IS_FATAL ANY)
foreach(field Depends Recommends)
    if(substvars MATCHES "shlibs:${field}=([^\n]*)")
        set(found ${CMAKE_MATCH_1})
        string(TOUPPER ${field} upper)
        if(CPACK_DEBIAN_PACKAGE_${upper})
            set(CPACK_DEBIAN_PACKAGE_${upper} "${CPACK_DEBIAN_PACKAGE_${upper}}, ${found}")
        else()
            set(CPACK_DEBIAN_PACKAGE_${upper} "${found}")
        endif()
    endif()
endforeach()
