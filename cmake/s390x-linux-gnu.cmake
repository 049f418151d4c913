# Cross build for s390x Linux with Debian's cross compiler
# (g++-s390x-linux-gnu); its programs, the tests among them, run under
# qemu-user (qemu-s390x) with the cross C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
# A machine without the vector facility, as Debian's s390x baseline (z196)
# is: the candidate filter's tests run there too, on its scalar build.
set(TAGRUN_NO_VECTOR_EMULATOR qemu-s390x -cpu qemu,vxeh=off,vx=off -L /usr/s390x-linux-gnu)
# The Debian architecture of what this builds, for its package.
set(TAGRUN_DEB_ARCHITECTURE s390x)
