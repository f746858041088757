# Finds the libraries halverd links and gives each one imported target:
#   SDL3::SDL3          window, GL context, input, audio, threads, dialogs
#   halverd::tcc        TinyCC compiling C in memory (libtcc.h, libtcc.a)
#   halverd::capstone   x86 decoding
#   OpenGL::GL, Threads::Threads, GTest::gtest_main, GTest::gmock
# scripts/setup.sh installs all of them (SDL 3 into HALVERD_SDL3_PREFIX when the
# system has none).

set(HALVERD_SDL3_PREFIX "${CMAKE_SOURCE_DIR}/build/_sdl3/prefix" CACHE PATH
  "SDL 3 installation made by scripts/setup.sh; searched before the system")
if(EXISTS "${HALVERD_SDL3_PREFIX}")
  list(PREPEND CMAKE_PREFIX_PATH "${HALVERD_SDL3_PREFIX}")
endif()

find_package(SDL3 CONFIG COMPONENTS SDL3)
if(NOT SDL3_FOUND)
  # A system SDL 3 that ships only a pkg-config file.
  find_package(PkgConfig)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(sdl3 IMPORTED_TARGET sdl3)
  endif()
  if(NOT sdl3_FOUND)
    message(FATAL_ERROR "SDL 3 not found: run scripts/setup.sh (it builds SDL 3 into ${HALVERD_SDL3_PREFIX})")
  endif()
  add_library(SDL3::SDL3 ALIAS PkgConfig::sdl3)
endif()

find_path(HALVERD_TCC_INCLUDE_DIR libtcc.h)
find_library(HALVERD_TCC_LIBRARY tcc)
if(NOT HALVERD_TCC_INCLUDE_DIR OR NOT HALVERD_TCC_LIBRARY)
  message(FATAL_ERROR "libtcc not found (Debian packages libtcc-dev and tcc): run scripts/setup.sh")
endif()
add_library(halverd::tcc UNKNOWN IMPORTED)
set_target_properties(halverd::tcc PROPERTIES
  IMPORTED_LOCATION "${HALVERD_TCC_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${HALVERD_TCC_INCLUDE_DIR}"
  # libtcc resolves host symbols with dlsym.
  INTERFACE_LINK_LIBRARIES "${CMAKE_DL_LIBS}")

find_package(PkgConfig REQUIRED)
pkg_check_modules(capstone REQUIRED IMPORTED_TARGET capstone)
add_library(halverd::capstone ALIAS PkgConfig::capstone)

set(OpenGL_GL_PREFERENCE GLVND)
find_package(OpenGL REQUIRED COMPONENTS OpenGL)
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
