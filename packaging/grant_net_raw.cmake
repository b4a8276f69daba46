# Install-time step: gives the installed echo helper cap_net_raw, as the system's own ping is
# installed, whatever net.ipv4.ping_group_range says now (it can change later; kestrun uses the
# helper only where unprivileged ICMP sockets are refused).
# kestrun itself never gets a capability: one left on it by an older install is taken away.
# Never fails the install: where setcap is missing or refused (a non-root install into a prefix
# of one's own) it says what to run instead.
# Expects kestrun_installed_binary and kestrun_installed_helper (paths under the install prefix).

set(binary "$ENV{DESTDIR}${kestrun_installed_binary}")
set(helper "$ENV{DESTDIR}${kestrun_installed_helper}")
set(by_hand "sudo setcap cap_net_raw+ep ${helper}")

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "kestrun: staged install, cap_net_raw is left to the package's post-install step")
  return()
endif()
if(NOT EXISTS "${helper}")
  message(STATUS "kestrun: ${helper} is not installed here; no capability to grant")
  return()
endif()

find_program(kestrun_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
find_program(kestrun_getcap getcap PATHS /usr/sbin /sbin NO_CACHE)
if(kestrun_getcap AND kestrun_setcap AND EXISTS "${binary}")
  execute_process(COMMAND "${kestrun_getcap}" "${binary}" OUTPUT_VARIABLE held ERROR_QUIET)
  if(held MATCHES "cap_")
    execute_process(COMMAND "${kestrun_setcap}" -r "${binary}" RESULT_VARIABLE removed
                    OUTPUT_QUIET ERROR_QUIET)
    if(removed EQUAL 0)
      message(STATUS "kestrun: removed the capability an older install gave ${binary}")
    endif()
  endif()
endif()

message(STATUS "kestrun: granting the echo helper ${helper} cap_net_raw (setcap cap_net_raw+ep); "
               "kestrun uses it only where unprivileged ICMP is off")
if(NOT kestrun_setcap)
  message(STATUS "kestrun: setcap is missing (Debian: libcap2-bin); not granted. "
                 "Run: ${by_hand}")
  return()
endif()
execute_process(COMMAND "${kestrun_setcap}" cap_net_raw+ep "${helper}"
                RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
if(result EQUAL 0)
  message(STATUS "kestrun: granted cap_net_raw to ${helper}")
else()
  string(STRIP "${error}" error)
  message(STATUS "kestrun: setcap failed (${error}); not granted. "
                 "The probe reports errors until you run: ${by_hand}")
endif()
