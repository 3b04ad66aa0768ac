# The Python package (component python). Natively the build makes its wheel the way a user
# does, with pip from python/ (offline: Debian's setuptools and wheel, no build isolation, in a
# copy so that the source tree stays clean), and installs the unpacked wheel into
# lib/python3/dist-packages: the modules and their dist-info. The wheel itself, in
# build/python-dist, is what the Python tests install into a virtual environment.
# On Windows, and in the sanitizer and fuzz builds, the modules are copied as they are (the zip
# keeps them in python/toviipc).
if(NOT TOVI_WINDOWS)
    find_program(TOVI_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)  # Debian's, before others
    find_program(TOVI_PYTHON python3)
endif()
file(GLOB tovi_python_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/pyproject.toml
    ${PROJECT_SOURCE_DIR}/python/toviipc/*)
list(FILTER tovi_python_sources EXCLUDE REGEX "__pycache__")

set(destination lib/python3/dist-packages)
if(TOVI_WINDOWS)
    set(destination python)
endif()
if(TOVI_WINDOWS OR NOT TOVI_PYTHON OR NOT TOVI_SANITIZE STREQUAL "" OR TOVI_FUZZ)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/toviipc DESTINATION ${destination}
        COMPONENT python FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
        PATTERN "__pycache__" EXCLUDE)
    return()
endif()

set(TOVI_WHEEL_DIR ${CMAKE_BINARY_DIR}/python-dist)
set(TOVI_WHEEL ${TOVI_WHEEL_DIR}/toviipc-${PROJECT_VERSION}-py3-none-any.whl)
set(copy ${CMAKE_BINARY_DIR}/python-source)
set(unpacked ${CMAKE_BINARY_DIR}/python-site)
add_custom_command(OUTPUT ${TOVI_WHEEL}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${copy} ${TOVI_WHEEL_DIR} ${unpacked}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/python ${copy}
    COMMAND ${CMAKE_COMMAND} -E env PIP_NO_INDEX=1 PYTHONDONTWRITEBYTECODE=1
        ${TOVI_PYTHON} -m pip wheel --quiet --no-build-isolation --no-deps -w ${TOVI_WHEEL_DIR}
        ${copy}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${unpacked}
    COMMAND ${CMAKE_COMMAND} -E chdir ${unpacked} ${CMAKE_COMMAND} -E tar xf ${TOVI_WHEEL}
    # The files belong to whatever installs them (cmake --install, dpkg), not to pip.
    COMMAND ${CMAKE_COMMAND} -E rm -f
        ${unpacked}/toviipc-${PROJECT_VERSION}.dist-info/RECORD
    DEPENDS ${tovi_python_sources}
    COMMENT "Building the Python wheel with pip" VERBATIM)
add_custom_target(tovi_python_wheel ALL DEPENDS ${TOVI_WHEEL})
install(DIRECTORY ${unpacked}/ DESTINATION ${destination} COMPONENT python)
