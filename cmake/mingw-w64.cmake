# Cross-compiling for Windows with MinGW-w64 (g++ with the posix thread model, so that
# std::thread and std::mutex work). Included by mingw-w64-x86_64.cmake and mingw-w64-i686.cmake,
# which set KRI_MINGW_ARCH.
#
# The third-party libraries (OpenSSL, pugixml, GoogleTest) come from the cache that
# scripts/windows-deps.sh fills: KRI_WINDOWS_DEPS, or ~/.cache/kriatmnsvc/windows-deps, then
# <triplet>/current. KRI_WINDOWS_DEPS_PREFIX names another prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KRI_MINGW_ARCH})
set(KRI_MINGW_TRIPLET ${KRI_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${KRI_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRI_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KRI_MINGW_TRIPLET}-windres)

if(NOT KRI_WINDOWS_DEPS_PREFIX)
    if(DEFINED ENV{KRI_WINDOWS_DEPS})
        set(kri_deps_cache $ENV{KRI_WINDOWS_DEPS})
    elseif(DEFINED ENV{XDG_CACHE_HOME})
        set(kri_deps_cache $ENV{XDG_CACHE_HOME}/kriatmnsvc/windows-deps)
    else()
        set(kri_deps_cache $ENV{HOME}/.cache/kriatmnsvc/windows-deps)
    endif()
    set(KRI_WINDOWS_DEPS_PREFIX ${kri_deps_cache}/${KRI_MINGW_TRIPLET}/current)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KRI_MINGW_ARCH KRI_WINDOWS_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${KRI_MINGW_TRIPLET} ${KRI_WINDOWS_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static: a program or DLL then imports only system DLLs (without it a DLL needs
# libstdc++-6.dll and libgcc_s_*.dll, and LoadLibrary fails with 126).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
