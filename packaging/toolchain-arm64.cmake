# Cross build for the recorder (arm64) on a Debian machine with multiarch:
#   dpkg --add-architecture arm64
#   apt-get install crossbuild-essential-arm64 qtbase5-dev:arm64 libssl-dev:arm64
# The arm64 libraries live beside the build machine's own in
# /usr/lib/aarch64-linux-gnu, so no sysroot is needed; moc and rcc are the
# build machine's (qtbase5-dev-tools is Multi-Arch: foreign).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Programs found while configuring run here; libraries and headers must be
# the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test programs run through qemu's user mode emulator when it is installed.
find_program(CORVALET_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(CORVALET_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVALET_QEMU_AARCH64})
endif()
