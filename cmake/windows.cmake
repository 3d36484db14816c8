# vokxp.exe: GUI subsystem, no C++ runtime, ASLR and DEP on, the same bytes
# from the same tree.
set(VOKXP_IMAGE_BASE 0x400000)

add_executable(vokxp WIN32
  ${VOKXP_LOGIC}
  src/platform/win32/process.cpp
  src/platform/win32/registry.cpp
  src/platform/win32/files.cpp
  src/platform/win32/winmain.cpp
  res/vokxp.rc)
target_include_directories(vokxp PRIVATE src)
target_compile_definitions(vokxp PRIVATE VOKXP_IMAGE_BASE=${VOKXP_IMAGE_BASE} WIN32_LEAN_AND_MEAN)
target_compile_options(vokxp PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -Os -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics -ffunction-sections -fdata-sections
    # A check reports the address it returns to, so it must be called, never
    # jumped to from the end of its caller.
    -fno-optimize-sibling-calls>)
target_link_options(vokxp PRIVATE
  -static-libgcc -static-libstdc++ -s
  -Wl,--gc-sections -Wl,--no-insert-timestamp
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--image-base,${VOKXP_IMAGE_BASE})
target_link_libraries(vokxp PRIVATE user32 advapi32)
set_source_files_properties(res/vokxp.rc PROPERTIES COMPILE_FLAGS "-c 936")

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  add_subdirectory(tests/wine/helpers)
endif()
