# Assembles the update folder a user runs `setup` in: the downloader as "Imagelift.app" with
# what it loads beside it, the update utility with its driver library, the bus service, the
# virtual device's INF and the two packages the update's command lines name, built for the
# simulated Lumarel 460.
#
#   cmake -D BIN=<program folder> -D OUT=<update folder> -D INF=<1394vdev.inf> -P assemble.cmake
#
# The folder stands on its own: every library of ours that its programs load is copied into it,
# and each program and library there finds them beside itself (run path "$ORIGIN"), so the
# folder runs wherever it is copied on a machine with the same system packages. A downloader
# left as "Imagelift.exe" by an update that was cut short is replaced.
foreach(v BIN OUT INF)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "assemble.cmake needs -D ${v}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY ${OUT})
file(REMOVE ${OUT}/Imagelift.exe)
file(COPY_FILE ${BIN}/Imagelift ${OUT}/Imagelift.app)
foreach(f Vsk1394api.dll db1_clean.mdb lumarel-bus setup libXDRVKIT.so shell_connected.xpm shell_not_connected.xpm)
  if(EXISTS ${BIN}/${f})
    file(COPY_FILE ${BIN}/${f} ${OUT}/${f})
  endif()
endforeach()

# Our libraries the programs load, found as the loader finds them from the program folder;
# system libraries (Qt, the C++ run time, ...) are the machine's own.
file(REAL_PATH ${BIN} bin)
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES ${BIN}/Imagelift ${BIN}/setup ${BIN}/lumarel-bus
  LIBRARIES ${BIN}/libXDRVKIT.so
  MODULES ${BIN}/Vsk1394api.dll
  RESOLVED_DEPENDENCIES_VAR loaded
  UNRESOLVED_DEPENDENCIES_VAR unresolved)
if(unresolved)
  message(FATAL_ERROR "the update's programs need libraries that cannot be found: ${unresolved}")
endif()
set(ours "")
foreach(lib IN LISTS loaded)
  file(REAL_PATH ${lib} real)
  cmake_path(GET real PARENT_PATH folder)
  if(folder STREQUAL bin)
    cmake_path(GET real FILENAME name)
    file(COPY_FILE ${real} ${OUT}/${name})
    list(APPEND ours ${name})
  endif()
endforeach()

# The build's run path names the program folder; the update folder's files name their own.
set(elfs Imagelift.app setup lumarel-bus Vsk1394api.dll libXDRVKIT.so ${ours})
list(REMOVE_DUPLICATES elfs)
foreach(f IN LISTS elfs)
  unset(runpath)
  unset(rpath)
  file(READ_ELF ${OUT}/${f} RUNPATH runpath RPATH rpath)
  if(runpath OR rpath)
    file(RPATH_SET FILE ${OUT}/${f} NEW_RPATH "$ORIGIN")
  endif()
endforeach()

if(IS_DIRECTORY ${BIN}/help)
  file(COPY ${BIN}/help DESTINATION ${OUT})
endif()
file(COPY_FILE ${INF} ${OUT}/1394vdev.inf)

# Images for the simulated device: their contents are only bytes to the device, which keeps
# them with their CRCs; the dates tell the versions apart.
set(work ${OUT}/.images)
file(MAKE_DIRECTORY ${work})
string(REPEAT "Lumarel 460 application image (simulated) " 150 app)
string(REPEAT "Lumarel 460 configuration data " 20 cne)
string(REPEAT "Lumarel 460 bootloader image (simulated) " 80 boot)
file(WRITE ${work}/app.bin "${app}")
file(WRITE ${work}/config.bin "${cne}")
file(WRITE ${work}/boot.bin "${boot}")
execute_process(
  COMMAND ${BIN}/fwpbuild -o ${OUT}/Lumarel_20040623_rc2_build2632.fwp --image1 ${work}/app.bin@0x10000000
          --config ${work}/config.bin --date 20040623 --time 120000
  RESULT_VARIABLE rc1)
execute_process(
  COMMAND ${BIN}/fwpbuild -o ${OUT}/bl1394_nrxLumarel_20040606_rc1__build2538.fwp --image1 ${work}/boot.bin@0x00000000
          --date 20040606 --time 120000
  RESULT_VARIABLE rc2)
file(REMOVE_RECURSE ${work})
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "fwpbuild could not write the update's packages")
endif()
