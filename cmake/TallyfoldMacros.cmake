# tallyfold_add_module(NAME [STATIC|SHARED] SOURCES ... LIBS ...)
function(tallyfold_add_module name)
    cmake_parse_arguments(ARG "STATIC;SHARED" "" "SOURCES;LIBS" ${ARGN})
    set(kind STATIC)
    if(ARG_SHARED)
        set(kind SHARED)
    endif()
    add_library(${name} ${kind} ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# tallyfold_add_test(NAME SOURCES ... LIBS ... [LABELS ...])
# Every test runs on Qt's offscreen platform with its own home folder.
function(tallyfold_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test tallyfold_testsupport ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TALLYFOLD_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
        LABELS "${ARG_LABELS}"
        TIMEOUT 300)
endfunction()
