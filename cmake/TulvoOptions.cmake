# Compile settings shared by every target of the project (not by GoogleTest).
add_library(tulvo_options INTERFACE)
target_include_directories(tulvo_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(tulvo_options INTERFACE -Wall -Wextra)
if(TULVO_WERROR)
    target_compile_options(tulvo_options INTERFACE -Werror)
endif()
if(TULVO_WIN)
    # Windows 7 is the oldest system the service targets; ANSI entry points throughout.
    target_compile_definitions(tulvo_options INTERFACE
        _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)
endif()
