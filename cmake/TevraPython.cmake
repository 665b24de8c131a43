# Locate CPython 3.13 or later: python3.13 (or newer) on PATH first, then pyenv's
# installs. The extension calls functions that exist only from 3.13 on, so an older
# interpreter is refused here instead of failing later in the compiler.
set(_tevra_min_minor 13)

function(_tevra_python_ok exe out)
  execute_process(
    COMMAND "${exe}" -c "import sys; print('%d.%d' % sys.version_info[:2]); sys.exit(0 if sys.implementation.name == 'cpython' and sys.version_info >= (3, ${_tevra_min_minor}) else 1)"
    RESULT_VARIABLE rc OUTPUT_VARIABLE ver OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

if(NOT TEVRA_PYTHON)
  set(_candidates)
  foreach(minor RANGE 20 ${_tevra_min_minor} -1)
    find_program(_found NAMES python3.${minor} NO_CACHE)
    if(_found)
      list(APPEND _candidates "${_found}")
    endif()
    unset(_found)
  endforeach()
  file(GLOB _pyenv LIST_DIRECTORIES false
       "$ENV{HOME}/.pyenv/versions/3.*/bin/python3" "/root/.pyenv/versions/3.*/bin/python3")
  list(SORT _pyenv COMPARE NATURAL ORDER DESCENDING)
  list(APPEND _candidates ${_pyenv})
  foreach(exe IN LISTS _candidates)
    _tevra_python_ok("${exe}" ok)
    if(ok)
      set(TEVRA_PYTHON "${exe}")
      break()
    endif()
  endforeach()
endif()

if(NOT TEVRA_PYTHON)
  message(FATAL_ERROR
    "tevra needs CPython 3.${_tevra_min_minor} or later with its development headers, and none was found.\n"
    "Looked for python3.${_tevra_min_minor}+ on PATH and under ~/.pyenv/versions/3.*.\n"
    "Install one, or pass -DTEVRA_PYTHON=/path/to/python3.${_tevra_min_minor}.")
endif()
_tevra_python_ok("${TEVRA_PYTHON}" ok)
if(NOT ok)
  message(FATAL_ERROR "TEVRA_PYTHON=${TEVRA_PYTHON} is not CPython 3.${_tevra_min_minor} or later.")
endif()

# pyenv shims are scripts; resolve to the real interpreter so tests run what we built for.
execute_process(COMMAND "${TEVRA_PYTHON}" -c "import sys; print(sys.executable)"
                OUTPUT_VARIABLE _real OUTPUT_STRIP_TRAILING_WHITESPACE)
set(TEVRA_PYTHON "${_real}" CACHE FILEPATH "CPython 3.13+ interpreter the extension is built for" FORCE)
set(Python3_EXECUTABLE "${TEVRA_PYTHON}")
find_package(Python3 3.${_tevra_min_minor} REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "tevra: building for ${Python3_EXECUTABLE} (${Python3_VERSION})")
