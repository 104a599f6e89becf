# Builds VELMDAT.SYS, the i386 driver image, from the driver's sources (cmake/driver.cmake) with
# the mingw-w64 cross toolchain. Included by image/CMakeLists.txt and by the i386 loader build,
# so both run the same image. Defines the target velmdat_image and sets VELMDAT_IMAGE_FILE.
#   velmdat_add_image(<output directory>)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/driver.cmake)

function(velmdat_add_image out_dir)
    find_program(VELMDAT_MINGW_CXX i686-w64-mingw32-g++)
    find_program(VELMDAT_MINGW_LD i686-w64-mingw32-ld)
    find_program(VELMDAT_MINGW_DLLTOOL i686-w64-mingw32-dlltool)
    find_program(VELMDAT_MINGW_WINDRES i686-w64-mingw32-windres)
    find_program(VELMDAT_MINGW_OBJDUMP i686-w64-mingw32-objdump)
    find_program(VELMDAT_MINGW_NM i686-w64-mingw32-nm)
    foreach(tool CXX LD DLLTOOL WINDRES OBJDUMP NM)
        if(NOT VELMDAT_MINGW_${tool})
            message(STATUS "VELMDAT.SYS: i686-w64-mingw32 toolchain not found, image not built")
            set(VELMDAT_IMAGE_FILE "" PARENT_SCOPE)
            return()
        endif()
    endforeach()

    set(root ${VELMDAT_ROOT})
    set(image_dir ${root}/image)

    # Kernel code, and on i386 Windows also: the platform's 4-byte stack alignment, no stack
    # probes, no floating point, string operations inline.
    set(flags -std=c++17 -O2 -Wall -Wextra -Werror ${VELMDAT_KERNEL_FLAGS} -fno-ident
        -mno-stack-arg-probe -mgeneral-regs-only -march=i586 -mpreferred-stack-boundary=2
        -minline-all-stringops -DVELMDAT_IMAGE -I${root})

    set(obj_dir ${out_dir}/obj)
    file(MAKE_DIRECTORY ${obj_dir})
    set(objects "")
    foreach(source IN LISTS VELMDAT_DRIVER_SOURCES)
        file(RELATIVE_PATH rel ${root} ${source})
        string(REGEX REPLACE "[/.]" "_" stem "${rel}")
        set(object ${obj_dir}/${stem}.o)
        add_custom_command(OUTPUT ${object}
            COMMAND ${VELMDAT_MINGW_CXX} ${flags} -MD -MF ${object}.d -c ${source} -o ${object}
            DEPENDS ${source}
            DEPFILE ${object}.d
            COMMENT "i686-w64-mingw32-g++ ${rel}"
            VERBATIM)
        list(APPEND objects ${object})
    endforeach()

    # The i386 layouts of every shared record, asserted under the image's own compiler.
    set(layout_object ${obj_dir}/layout_check.o)
    add_custom_command(OUTPUT ${layout_object}
        COMMAND ${VELMDAT_MINGW_CXX} ${flags} -MD -MF ${layout_object}.d
                -c ${image_dir}/layout_check.cpp -o ${layout_object}
        DEPENDS ${image_dir}/layout_check.cpp
        DEPFILE ${layout_object}.d
        COMMENT "i686-w64-mingw32-g++ image/layout_check.cpp"
        VERBATIM)

    # The class driver's services: the decorated names are what the compiler calls; dlltool
    # --kill-at writes them undecorated into the import table, as the class driver exports them.
    set(def ${out_dir}/tape.def)
    list(JOIN VELMDAT_DRIVER_IMPORTS "\n" exports)
    file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY TAPE.SYS\nEXPORTS\n${exports}\n" @ONLY)
    set(import_lib ${out_dir}/libtape.a)
    add_custom_command(OUTPUT ${import_lib}
        COMMAND ${VELMDAT_MINGW_DLLTOOL} -m i386 --kill-at -d ${def} -D TAPE.SYS -l ${import_lib}
        DEPENDS ${def}
        COMMENT "import library of TAPE.SYS"
        VERBATIM)

    set(resource ${out_dir}/velmdat.res.o)
    add_custom_command(OUTPUT ${resource}
        COMMAND ${VELMDAT_MINGW_WINDRES} -O coff -i ${image_dir}/velmdat.rc -o ${resource}
        DEPENDS ${image_dir}/velmdat.rc
        COMMENT "version resource of VELMDAT.SYS"
        VERBATIM)

    set(objects_checked ${out_dir}/objects.checked)
    add_custom_command(OUTPUT ${objects_checked}
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VELMDAT_MINGW_OBJDUMP} -DNM=${VELMDAT_MINGW_NM}
                "-DOBJECTS=${objects}" "-DIMPORTS=${VELMDAT_DRIVER_IMPORTS}"
                -DSTAMP=${objects_checked}
                -P ${image_dir}/check_objects.cmake
        DEPENDS ${objects} ${image_dir}/check_objects.cmake
        COMMENT "checking VELMDAT.SYS objects for runtime sections and stray symbols"
        VERBATIM)

    # Native subsystem, entered at DriverEntry, relocatable, no C runtime, stripped at link
    # time (a later strip would stamp the current time), no timestamp: reproducible.
    set(image ${out_dir}/VELMDAT.SYS)
    add_custom_command(OUTPUT ${image}
        COMMAND ${VELMDAT_MINGW_LD} -s --subsystem native --entry _DriverEntry@8
                --image-base 0x10000 --enable-reloc-section --disable-dynamicbase
                --disable-nxcompat --no-insert-timestamp
                -o ${image} ${objects} ${resource} ${import_lib}
        DEPENDS ${objects} ${resource} ${import_lib} ${objects_checked} ${layout_object}
        COMMENT "linking VELMDAT.SYS"
        VERBATIM)

    add_custom_target(velmdat_image ALL DEPENDS ${image})
    set(VELMDAT_IMAGE_FILE ${image} PARENT_SCOPE)
endfunction()
