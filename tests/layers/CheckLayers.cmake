# Every include runs downward: a folder may include itself and the folders listed for it,
# nothing above. Run as: cmake -DSOURCE_DIR=<repository> -P CheckLayers.cmake
#
#   app        the program: start-up, shutdown, desktop, wiring
#   bridge     the MQTT bridge
#   script     dispatcher, scripting object, object server, script runs
#   watchdog   device watchdog, recovery, process-start shell
#   xap, ini   the xAP format and transport; the INI store
#   core       state object, log, clock, timers, text, errors, paths, small containers
#   engine     the VBScript engine (a library of its own)
#   regex      regular expressions
# runner/ and ctl/ are programs of their own over the engine; they may take the wire format
# of the object server (script/BusValue.h), the table of known settings (ini/KnownSettings.h),
# the settings check (ini/ConfigCheck.h) and the rule that finds the instance folder
# (core/Folder.h), which include nothing of the daemon. hub/ (sablewick-hub) is a program
# beside them that stands on GLib alone; it may take the same shared headers.
cmake_minimum_required(VERSION 3.25)
set(allowed_regex    regex)
set(allowed_engine   engine regex)
set(allowed_core     core engine regex)
set(allowed_xap      xap core engine regex)
set(allowed_ini      ini core engine regex)
set(allowed_watchdog watchdog xap ini core engine regex)
set(allowed_script   script watchdog xap ini core engine regex)
set(allowed_bridge   bridge script watchdog xap ini core engine regex)
set(allowed_app      app bridge script watchdog xap ini core engine regex)
set(allowed_runner   runner engine regex)
set(allowed_ctl      ctl engine regex)
set(allowed_hub      hub)
set(shared_headers   script/BusValue.h ini/KnownSettings.h ini/ConfigCheck.h core/Folder.h)

set(folders regex engine core xap ini watchdog script bridge app runner ctl hub)
set(problems "")
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    file(RELATIVE_PATH where "${SOURCE_DIR}" "${source}")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
      if(NOT header MATCHES "/")
        continue()  # a header beside the file
      endif()
      string(REGEX REPLACE "/.*" "" target "${header}")
      if(target IN_LIST allowed_${folder})
        continue()
      endif()
      if(folder MATCHES "^(runner|ctl|hub)$" AND header IN_LIST shared_headers)
        continue()
      endif()
      string(REPLACE ";" " " allowed_list "${allowed_${folder}}")
      string(APPEND problems "  ${where} includes ${header} (${folder}/ may include: ${allowed_list})\n")
    endforeach()
  endforeach()
endforeach()

# The shared headers stay self-contained so the programs above can take them.
foreach(header IN LISTS shared_headers)
  file(STRINGS "${SOURCE_DIR}/${header}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
    if(NOT included MATCHES "^(engine|regex)/")
      string(APPEND problems "  ${header} includes ${included} (it may include engine/ and regex/ only)\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Includes that run upward:\n${problems}")
endif()
message(STATUS "Every include runs downward.")
