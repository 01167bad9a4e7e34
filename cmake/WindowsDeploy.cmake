# What velmora.exe needs beside it on Windows, as windeployqt would copy it
# for a Widgets program (without translations: no translator is installed):
# the toolkit's DLLs, the windows platform plugin, the style and image-format
# plugins, and with MinGW the compiler's runtime DLLs that the toolkit links.

set(_velmora_qt_dlls Core Gui Widgets)
foreach(_module IN LISTS _velmora_qt_dlls)
    install(FILES "$<TARGET_FILE:${VELMORA_QT}::${_module}>" DESTINATION .)
endforeach()

function(velmora_install_plugin target folder)
    if(TARGET ${target})
        install(FILES "$<TARGET_FILE:${target}>" DESTINATION ${folder})
    endif()
endfunction()
velmora_install_plugin(${VELMORA_QT}::QWindowsIntegrationPlugin platforms)
velmora_install_plugin(${VELMORA_QT}::QWindowsVistaStylePlugin styles)
velmora_install_plugin(${VELMORA_QT}::QGifPlugin imageformats)
velmora_install_plugin(${VELMORA_QT}::QICOPlugin imageformats)
velmora_install_plugin(${VELMORA_QT}::QJpegPlugin imageformats)

if(MINGW)
    foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                        OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
            install(FILES "${_path}" DESTINATION .)
            # The compiler's DLLs come with their debugging symbols (most of
            # libstdc++-6.dll's 23 MB).
            if(CMAKE_STRIP)
                install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                                                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_dll}\")")
            endif()
        else()
            message(WARNING "${_dll} not found beside ${CMAKE_CXX_COMPILER}: the package will not start without it")
        endif()
    endforeach()
endif()
