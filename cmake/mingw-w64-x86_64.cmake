# Cross build for 64-bit Windows with Debian's mingw-w64, tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZAVRO_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model: the win32 one has no std::thread or std::call_once.
set(CMAKE_C_COMPILER ${ZAVRO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAVRO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAVRO_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZAVRO_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZAVRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static, so the .exe imports only DLLs that ship with Windows.
# Stripped: the symbol tables would more than double the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")

# Test programs run through Wine in a prefix inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
