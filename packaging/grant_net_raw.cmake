# Install-time step: gives the installed kestrun cap_net_raw where unprivileged ICMP sockets are
# not open to every group (net.ipv4.ping_group_range), as the system's own ping is installed.
# The probe then falls back to a raw socket. Never fails the install: where setcap is missing or
# refused (a non-root install into a prefix of one's own) it says what to run instead.
# Expects kestrun_installed_binary (the binary's path under the install prefix).

set(binary "$ENV{DESTDIR}${kestrun_installed_binary}")
set(by_hand "sudo setcap cap_net_raw+ep ${binary}")

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "kestrun: staged install, cap_net_raw is left to the package's post-install step")
  return()
endif()
if(NOT EXISTS "${binary}")
  message(STATUS "kestrun: ${binary} is not installed here; no capability to grant")
  return()
endif()

set(range "")
if(EXISTS /proc/sys/net/ipv4/ping_group_range)
  file(READ /proc/sys/net/ipv4/ping_group_range range)
endif()
if(range MATCHES "^([0-9]+)[ \t]+([0-9]+)")
  set(low ${CMAKE_MATCH_1})
  set(high ${CMAKE_MATCH_2})
  if(low EQUAL 0 AND high GREATER_EQUAL 2147483647)
    message(STATUS "kestrun: unprivileged ICMP is open to every group here "
                   "(ping_group_range ${low} ${high}); no capability needed")
    return()
  endif()
  set(state "ping_group_range ${low} ${high}")
else()
  set(state "ping_group_range unreadable")
endif()

message(STATUS "kestrun: unprivileged ICMP is off here (${state}); granting ${binary} "
               "cap_net_raw for its probe (setcap cap_net_raw+ep)")
find_program(kestrun_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT kestrun_setcap)
  message(STATUS "kestrun: setcap is missing (Debian: libcap2-bin); not granted. "
                 "Run: ${by_hand}")
  return()
endif()
execute_process(COMMAND "${kestrun_setcap}" cap_net_raw+ep "${binary}"
                RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
if(result EQUAL 0)
  message(STATUS "kestrun: granted cap_net_raw to ${binary}")
else()
  string(STRIP "${error}" error)
  message(STATUS "kestrun: setcap failed (${error}); not granted. "
                 "The probe reports errors until you run: ${by_hand}")
endif()
