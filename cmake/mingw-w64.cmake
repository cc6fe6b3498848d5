# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers (posix thread model, so that
# std::thread and std::mutex work), against the static dependencies scripts/lib/windows_deps.sh
# builds. The DLLs and programs carry libgcc, libstdc++ and winpthread inside them: they need no
# mingw runtime DLL beside them.
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake [-DTUTORLANE_WINDOWS_DEPS=dir]
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TUTORLANE_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TUTORLANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TUTORLANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TUTORLANE_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR ${TUTORLANE_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB ${TUTORLANE_MINGW_TRIPLE}-ranlib REQUIRED)
find_program(CMAKE_OBJDUMP ${TUTORLANE_MINGW_TRIPLE}-objdump)

# The dependencies' prefix: the same default as scripts/lib/windows_deps.sh.
if(NOT TUTORLANE_WINDOWS_DEPS)
  if(DEFINED ENV{WINDOWS_DEPS_CACHE})
    set(TUTORLANE_WINDOWS_DEPS "$ENV{WINDOWS_DEPS_CACHE}/prefix")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(TUTORLANE_WINDOWS_DEPS "$ENV{XDG_CACHE_HOME}/tutorlane/windows-deps/prefix")
  else()
    set(TUTORLANE_WINDOWS_DEPS "$ENV{HOME}/.cache/tutorlane/windows-deps/prefix")
  endif()
endif()
set(TUTORLANE_WINDOWS_DEPS "${TUTORLANE_WINDOWS_DEPS}" CACHE PATH
    "Prefix of the cross-built static dependencies")
# try_compile projects read this file again: they get the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TUTORLANE_WINDOWS_DEPS)

# Headers and libraries come from the prefix and the mingw-w64 system folder only, programs from
# the build machine.
set(CMAKE_FIND_ROOT_PATH ${TUTORLANE_WINDOWS_DEPS} /usr/${TUTORLANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the prefix's .pc files and nothing of the build machine.
set(PKG_CONFIG_EXECUTABLE ${TUTORLANE_MINGW_TRIPLE}-pkg-config CACHE FILEPATH "")
set(ENV{PKG_CONFIG_LIBDIR} "${TUTORLANE_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# libgcc, libstdc++ and winpthread linked in statically; the Windows system DLLs stay imports.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
