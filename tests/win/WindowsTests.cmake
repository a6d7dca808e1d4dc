# SPDX-License-Identifier: MIT
# Which test files of the Linux build are built again for Windows. A file is built for Windows
# only when it is listed as portable here; the Linux-only ones are listed with the reason, and a
# file in neither list is reported at configure time until someone sorts it in.

set(ID_WINDOWS_PORTABLE_TESTS
    runtime/RuntimeTest.cpp
    gui/DescriptionReaderTest.cpp
    core/ExceptionTest.cpp
    core/IdAntiFreezeTest.cpp
    core/IdRFCReplyTest.cpp
    core/IdGlobalTest.cpp
    threads/IdThreadMgrTest.cpp
    threads/IdThreadTest.cpp
    net/IdComponentNotifyTest.cpp
    net/IdComponentStackTest.cpp
    net/IdSocketHandleTest.cpp
    net/AddressTextFuzzRegressionTest.cpp
    connection/IdBuffersTest.cpp
    connection/IdInputBufferTest.cpp
    connection/IdInterceptTest.cpp
    connection/IdTCPConnectionCloseRaceTest.cpp
    connection/IdTCPConnectionReadTest.cpp
    connection/IdTCPConnectionWriteTest.cpp
    connection/ReadLineFuzzRegressionTest.cpp
    server/CommandHandlersTest.cpp
    server/PeerThreadTest.cpp
    server/ProxyProtocolTest.cpp
    server/ServerLoadTest.cpp
    server/TCPServerActivationTest.cpp)

# LINUX-ONLY, with the reason:
set(ID_LINUX_ONLY_TESTS
    # nice values and getpriority() of Linux threads
    runtime/ThreadTest.cpp
    # the BSD stack itself (errno mapping, poll-based select); IdStackTest makes a TIdStackBSD
    net/IdStackBSDTest.cpp
    net/IdStackTest.cpp
    # waits until a thread is blocked in a given system call (/proc/self/task/*/syscall)
    net/IdSocketCloseTest.cpp
    # non-blocking BSD sockets made by hand
    connection/IdIOHandlerSocketTest.cpp
    # IdSocksTestPeers.h follows the client's receives through Linux socket queue queries and
    # /proc/self/fd; and the Debian SOCKS proxy programs
    connection/IdSocksTest.cpp
    connection/IdSocksProxyTest.cpp
    # the descriptor limit (RLIMIT_NOFILE) and /proc/self/fd
    server/ListenerThreadTest.cpp
    # HAProxy and nginx as child processes (Debian packages)
    server/BalancersTest.cpp
    # the service manager of Linux: systemd-socket-activate, AF_UNIX datagrams, LISTEN_* variables
    server/SystemdTest.cpp
    # not built for Windows yet; the Windows program has its own end-to-end test (tests/win/program)
    app/Form1Test.cpp
    # the X11 window layer (DISPLAY handling, FLTK windows)
    gui/ApplicationTest.cpp
    gui/FormTest.cpp
    # the stress suite runs in the Linux build
    stress/ChurnTest.cpp
    stress/DeactivationTest.cpp
    stress/DebugCountersTest.cpp
    stress/HighDescriptorTest.cpp
    stress/HostileClientTest.cpp
    stress/ListenerCyclingTest.cpp
    stress/ResourceFailureTest.cpp
    # the TLS library is built on Linux only (OpenSSL); its tests drive openssl and python3
    tls/StartTLSTest.cpp
    tls/TLSClientTest.cpp
    tls/TLSServerTest.cpp
    tls/TLSEngineTest.cpp
    stress/TLSStressTest.cpp)

# The tests' own Windows headers need only the core of the system headers; the rest (printing,
# for one) defines macros such as SetPort that would rename the framework's members.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# Keeps in ASources (the .cpp files of test folder ADir) only what builds for Windows.
function(id_windows_test_sources ADir ASources)
  if(ADir STREQUAL "win")
    return()
  endif()
  set(kept)
  foreach(file ${${ASources}})
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${file})
    if(rel IN_LIST ID_WINDOWS_PORTABLE_TESTS)
      list(APPEND kept ${file})
    elseif(NOT rel IN_LIST ID_LINUX_ONLY_TESTS)
      message(STATUS "Windows build: tests/${rel} is not sorted into tests/win/WindowsTests.cmake; left out")
    endif()
  endforeach()
  set(${ASources} ${kept} PARENT_SCOPE)
endfunction()
