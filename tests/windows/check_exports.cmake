# Checks that the export table of warble.dll lists each of the 25 names the
# program resolves, undecorated (no leading underscore, no @N suffix).
# cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
set(names
  warble_lib_version warble_scanner_set_handler warble_scanner_start warble_scanner_stop
  warble_gatt_create warble_gatt_create_with_options warble_gatt_is_connected
  warble_gatt_connect_async warble_gatt_disconnect warble_gatt_on_disconnect
  warble_gattchar_get_uuid warble_gatt_find_characteristic warble_gattchar_read_async
  warble_gattchar_write_without_resp_async warble_gattchar_write_async
  warble_gattchar_enable_notifications_async warble_scan_result_get_manufacturer_data
  warble_scan_result_has_service_uuid warble_gatt_delete warble_gatt_has_service
  warble_gattchar_disable_notifications_async warble_gattchar_get_gatt warble_lib_init
  warble_lib_config warble_gattchar_on_notification_received)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# The name pointer table: lines like "	[   3] warble_gatt_create".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" table_start)
if(table_start EQUAL -1)
  message(FATAL_ERROR "no export name table in ${DLL}")
endif()
string(SUBSTRING "${dump}" ${table_start} -1 table)
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(exported "")
foreach(entry ${entries})
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  string(STRIP "${name}" name)
  list(APPEND exported "${name}")
endforeach()

set(missing "")
foreach(name ${names})
  list(FIND exported "${name}" found)
  if(found EQUAL -1)
    list(APPEND missing ${name})
  endif()
endforeach()
list(LENGTH names expected_count)
if(missing)
  message(FATAL_ERROR "warble.dll does not export undecorated: ${missing}\nexported: ${exported}")
endif()
foreach(name ${exported})
  if(name MATCHES "@[0-9]+$" OR name MATCHES "^_warble")
    message(FATAL_ERROR "decorated export in warble.dll: ${name}")
  endif()
endforeach()
message(STATUS "warble.dll exports all ${expected_count} names undecorated")
