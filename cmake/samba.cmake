# Where Samba's ACL engine is, asked of Samba itself: the interpreter its
# Python modules are built for, the folder they are in, and the compiled-in
# defaults of its configuration file and user-share folder. The engine's
# helper script is built into the program, so nothing else is installed.
set(ZIRM_PYTHON /usr/bin/python3 CACHE FILEPATH "the interpreter python3-samba is built for")
execute_process(
  COMMAND env -i ${ZIRM_PYTHON} -I -c
          "import os, samba, samba.param; from samba.samba3 import param\nlp = param.get_context(); lp.load('/dev/null')\nprint(os.path.dirname(os.path.dirname(samba.__file__))); print(samba.param.default_path()); print(lp.get('usershare path'))"
  OUTPUT_VARIABLE samba_facts
  RESULT_VARIABLE samba_found
  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT samba_found EQUAL 0)
  message(FATAL_ERROR "python3-samba is needed to build: only Samba can say where its configuration is")
endif()
string(REPLACE "\n" ";" samba_facts "${samba_facts}")
list(GET samba_facts 0 ZIRM_SAMBA_SITE)
list(GET samba_facts 1 ZIRM_SMB_CONF_DEFAULT)
list(GET samba_facts 2 ZIRM_USERSHARE_DEFAULT)

file(READ ${CMAKE_CURRENT_SOURCE_DIR}/posix/store/samba_engine.py ZIRM_ENGINE_SCRIPT)
# Runs share an engine only with the same script.
string(SHA256 ZIRM_ENGINE_ID "${PROJECT_VERSION}${ZIRM_ENGINE_SCRIPT}")
string(SUBSTRING ${ZIRM_ENGINE_ID} 0 16 ZIRM_ENGINE_ID)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/posix/store/engine_script.h.in ${CMAKE_CURRENT_BINARY_DIR}/generated/engine_script.h
               @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/posix/store/samba_engine.py)
