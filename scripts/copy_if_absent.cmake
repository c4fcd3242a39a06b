# cmake -DSRC=... -DDST=... -P copy_if_absent.cmake: copies SRC to DST unless
# DST exists (a user's edited settings stay).
if(NOT EXISTS "${DST}")
  configure_file("${SRC}" "${DST}" COPYONLY)
endif()
