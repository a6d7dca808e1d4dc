# Which test files of the Linux build are built again for Windows. A file is built for Windows
# only when it is listed as portable here; the Linux-only ones are listed with the reason, and a
# file in neither list is reported at configure time until someone sorts it in.

set(ID_WINDOWS_PORTABLE_TESTS
    runtime/RuntimeTest.cpp
    runtime/DescriptionReaderTest.cpp
    core/ExceptionTest.cpp
    core/IdAntiFreezeTest.cpp
    core/IdComponentNotifyTest.cpp
    core/IdComponentStackTest.cpp
    core/IdGlobalTest.cpp
    threads/IdThreadMgrTest.cpp
    threads/IdThreadTest.cpp
    connection/IdBuffersTest.cpp
    connection/IdInterceptTest.cpp
    server/IdRFCReplyTest.cpp)

# LINUX-ONLY, with the reason:
set(ID_LINUX_ONLY_TESTS
    # nice values and getpriority() of Linux threads
    runtime/ThreadTest.cpp
    # the BSD stack itself (errno mapping, descriptor parking); IdStackTest makes a TIdStackBSD
    net/IdStackBSDTest.cpp
    net/IdStackTest.cpp
    # NetTestSupport.h: kernel thread ids and /proc/self/task/*/syscall to see a blocked call
    net/IdSocketHandleTest.cpp
    net/IdSocketCloseTest.cpp
    # ConnectionTestSupport.h and IdSocksTestPeers.h: raw BSD-socket peers
    connection/IdTCPConnectionReadTest.cpp
    connection/IdSocksTest.cpp
    # ServerTestSupport.h: raw BSD-socket clients and /proc/self/fd
    server/CommandHandlersTest.cpp
    server/ListenerThreadTest.cpp
    server/PeerThreadTest.cpp
    server/ServerLoadTest.cpp
    server/TCPServerActivationTest.cpp
    # raw BSD-socket clients
    app/Form1Test.cpp
    # DISPLAY handling of the X11 window layer (setenv/unsetenv)
    gui/ApplicationTest.cpp)

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
