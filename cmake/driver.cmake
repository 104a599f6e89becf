# The driver's build, described once: its sources, the flags kernel code is compiled with and
# the only services it may import. The host build (driver/), the i386 image (image/) and the
# i386 loader (image/loader/) all include this file; scripts/kernel-check.sh reads the objects
# and the imports it makes.
include_guard(DIRECTORY)

get_filename_component(VELMDAT_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# In link order: the i386 image links its objects in this order.
set(VELMDAT_DRIVER_SOURCES
    ${VELMDAT_ROOT}/commands/driveparams.cpp
    ${VELMDAT_ROOT}/commands/mediaparams.cpp
    ${VELMDAT_ROOT}/commands/medium.cpp
    ${VELMDAT_ROOT}/commands/partition.cpp
    ${VELMDAT_ROOT}/commands/positioning.cpp
    ${VELMDAT_ROOT}/driver/entry.cpp
    ${VELMDAT_ROOT}/driver/tapeerror.cpp
    ${VELMDAT_ROOT}/modepages/modepages.cpp)

# Kernel code has no runtime behind it: no exceptions, type information, unwind tables, stack
# protector or guarded statics, and no hosted library.
set(VELMDAT_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-unwind-tables -fno-stack-protector -fno-threadsafe-statics)

# The class driver's services, as the i386 image imports them (stdcall, bytes of arguments).
set(VELMDAT_DRIVER_IMPORTS
    TapeClassInitialize@12
    TapeClassZeroMemory@8
    TapeClassCompareMemory@12
    TapeClassAllocateSrbBuffer@8)

# What a hosted compiler may call for a copy or a zeroing; the image inlines them instead
# (-minline-all-stringops), so only the host's kernel check allows them.
set(VELMDAT_COMPILER_PRIMITIVES memset memcpy memmove memcmp)

# The driver as a static library for a hosted build: the host stand-in, the simulator and the
# tests link it. Whatever the build adds (sanitizers, debug information) it keeps.
function(velmdat_add_driver name)
    add_library(${name} STATIC ${VELMDAT_DRIVER_SOURCES})
    target_include_directories(${name} PUBLIC ${VELMDAT_ROOT})
    target_compile_options(${name} PRIVATE ${VELMDAT_KERNEL_FLAGS})
endfunction()

# Objects compiled as kernel code is, whatever the build adds, for scripts/kernel-check.sh:
# optimized as the image is, each routine's stack frame written beside its object, no
# sanitizer, no position-independent code. <name>.kernel-check in the current binary folder
# lists them and the imports allowed, for the check to read.
#   velmdat_add_kernel_check(<name> <source>...)
function(velmdat_add_kernel_check name)
    add_library(${name} OBJECT ${ARGN})
    target_include_directories(${name} PRIVATE ${VELMDAT_ROOT})
    set_property(TARGET ${name} PROPERTY COMPILE_OPTIONS -Wall -Wextra -Werror
        ${VELMDAT_KERNEL_FLAGS} -O2 -fno-sanitize=all -fno-pie -fstack-usage)
    set(lines "")
    foreach(import IN LISTS VELMDAT_DRIVER_IMPORTS)
        string(REGEX REPLACE "@[0-9]+$" "" import ${import})
        string(APPEND lines "import ${import}\n")
    endforeach()
    foreach(primitive IN LISTS VELMDAT_COMPILER_PRIMITIVES)
        string(APPEND lines "import ${primitive}\n")
    endforeach()
    string(APPEND lines "object $<JOIN:$<TARGET_OBJECTS:${name}>,\nobject >\n")
    file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}.kernel-check CONTENT "${lines}")
endfunction()
