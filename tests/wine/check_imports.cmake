# Checks the imports of Windows programs (cmake -P, with OBJDUMP and PROGRAMS set): the serial
# test programs call the communications functions of KERNEL32 itself, not a stand-in, and no
# program links SetupAPI or cfgmgr32, which are only loaded at run time.
set(comm_functions CreateFileA GetDefaultCommConfigA SetupComm SetCommState SetCommTimeouts
    GetCommTimeouts SetCommMask WaitCommEvent ClearCommError PurgeComm CancelIo
    EscapeCommFunction GetCommModemStatus GetOverlappedResult ReadFile WriteFile)
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} cannot read ${program}")
  endif()
  # The import table lists each DLL, then its functions, until the next DLL.
  string(REGEX MATCH "DLL Name: KERNEL32.dll(.*)" kernel32 "${dump}")
  string(REGEX REPLACE "DLL Name: [^K].*" "" kernel32 "${kernel32}")
  foreach(fn IN LISTS comm_functions)
    if(NOT kernel32 MATCHES "[0-9a-f]+[ \t]+[0-9]+[ \t]+${fn}\n")
      message(FATAL_ERROR "${program} does not import ${fn} from KERNEL32.dll")
    endif()
  endforeach()
  string(TOLOWER "${dump}" lower)
  if(lower MATCHES "dll name: (setupapi|cfgmgr32)")
    message(FATAL_ERROR "${program} links SetupAPI or cfgmgr32; they must be loaded at run time")
  endif()
  message(STATUS "${program}: KERNEL32 communications functions imported; no SetupAPI link")
endforeach()
