# The interpreter the extension is built for. A wheel build (scikit-build-core) hands us
# the interpreter it installs into; a command-line build asks tools/find-python, the one
# place the project's scripts look for CPython 3.13+ (-DTEVRA_PYTHON=... overrides it).
set(_tevra_min_minor 13)

if(SKBUILD)
  if(Python_EXECUTABLE)
    set(TEVRA_PYTHON "${Python_EXECUTABLE}")
  elseif(Python3_EXECUTABLE)
    set(TEVRA_PYTHON "${Python3_EXECUTABLE}")
  endif()
endif()

if(NOT TEVRA_PYTHON)
  execute_process(COMMAND "${CMAKE_SOURCE_DIR}/tools/find-python"
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _found ERROR_VARIABLE _why
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "tevra needs CPython 3.${_tevra_min_minor} or later with its headers.\n${_why}")
  endif()
  set(TEVRA_PYTHON "${_found}")
endif()

# The extension calls functions that exist only from 3.13 on: refuse an older interpreter
# here instead of failing later in the compiler. sys.executable resolves pyenv shims.
execute_process(
  COMMAND "${TEVRA_PYTHON}" -c "import sys; print(sys.executable); sys.exit(0 if sys.implementation.name == 'cpython' and sys.version_info >= (3, ${_tevra_min_minor}) else 1)"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _real OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT _rc EQUAL 0 OR NOT _real)
  message(FATAL_ERROR "TEVRA_PYTHON=${TEVRA_PYTHON} is not CPython 3.${_tevra_min_minor} or later.")
endif()
set(TEVRA_PYTHON "${_real}" CACHE FILEPATH "CPython 3.13+ interpreter the extension is built for" FORCE)
set(Python3_EXECUTABLE "${TEVRA_PYTHON}")
find_package(Python3 3.${_tevra_min_minor} REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "tevra: building for ${Python3_EXECUTABLE} (${Python3_VERSION})")
