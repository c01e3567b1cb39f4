# The DLLs a program of the Windows build needs at run time: Qt's, and the
# MinGW C++ runtime with its thread library. They are copied beside the
# programs when building, and installed beside quillport.exe.
set(QUILLPORT_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    get_filename_component(path "${path}" REALPATH)
    list(APPEND QUILLPORT_MINGW_RUNTIME_DLLS "${path}")
endforeach()

add_custom_target(windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${QUILLPORT_MINGW_RUNTIME_DLLS}
            $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Network> $<TARGET_FILE:Qt5::Test>
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    VERBATIM)
