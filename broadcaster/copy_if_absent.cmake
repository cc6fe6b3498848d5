# cmake -DSOURCE=<file> -DTARGET=<file> -P copy_if_absent.cmake: copies only when TARGET is missing.
if(NOT EXISTS "${TARGET}")
  file(COPY_FILE "${SOURCE}" "${TARGET}")
endif()
