# Use: mirel_msabi_program(<target> SOURCES <file>... [DLL] [OUTPUT_NAME <name>] [OUTPUT_DIRECTORY <dir>] [LIBS <import library>...] [DEPENDS <target>...])
#
# Builds a program (or with DLL, a library) as Microsoft's compiler would: clang for the
# x86_64-pc-windows-msvc or i686-pc-windows-msvc target, following the Windows preset's
# architecture, linked by lld-link against MinGW's import libraries (kernel32 and user32 always,
# LIBS adds others by name, e.g. msvcrt), without Microsoft's C or C++ runtime or any STL. So the
# sources may use <windows.h> (through platform/windows_api.h), include/mirel/*.h and C++ without
# exceptions, RTTI or thread-safe statics; cmake/msabi_runtime.cpp supplies the entry point (it
# runs the static constructors, calls `int main()` and exits with its result; a DLL's entry runs
# constructors at attach and atexit functions at detach), atexit, _purecall, _fltused and memset,
# memcpy, memmove, memcmp. __try/__except catches what is raised in the functions its block calls
# (clang does not cover the block's own instructions) and needs LIBS msvcrt (__C_specific_handler
# on x64, _except_handler3 on x86). The whole stack is committed at start: no stack probes are made.
# A DLL exports what its sources mark __declspec(dllexport).
#
# The file is "<OUTPUT_NAME or target>.exe" (".dll") in OUTPUT_DIRECTORY (default: the build's
# bin/); its path is the target's property MIREL_MSABI_FILE. Nothing else is registered: run it
# with add_test(NAME ... COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} <that path>) where wanted.
set(MIREL_MSABI_RUNTIME ${CMAKE_CURRENT_LIST_DIR}/msabi_runtime.cpp)

function(mirel_msabi_program target)
  cmake_parse_arguments(ARG "DLL" "OUTPUT_NAME;OUTPUT_DIRECTORY" "SOURCES;LIBS;DEPENDS" ${ARGN})
  if(NOT WIN32)
    message(FATAL_ERROR "mirel_msabi_program(${target}): only in a Windows build")
  endif()
  find_program(MIREL_MSABI_CLANG NAMES clang++ clang++-14 clang++-15 clang++-16)
  find_program(MIREL_MSABI_LLD_LINK NAMES lld-link lld-link-14 lld-link-15 lld-link-16)
  if(NOT MIREL_MSABI_CLANG OR NOT MIREL_MSABI_LLD_LINK)
    message(FATAL_ERROR "mirel_msabi_program(${target}) needs clang and lld-link "
                        "(tools/install-deps.sh all installs them)")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(triple x86_64-pc-windows-msvc)
    set(machine x64)
    set(arch_flags)
  else()
    set(triple i686-pc-windows-msvc)
    set(machine x86)
    # MinGW's headers know the architecture by _X86_ when they are not read by MinGW's compiler.
    set(arch_flags -D_X86_)
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  if(NOT ARG_OUTPUT_DIRECTORY)
    set(ARG_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  if(ARG_DLL)
    set(file ${ARG_OUTPUT_DIRECTORY}/${ARG_OUTPUT_NAME}.dll)
    set(kind_flags -DMIREL_MSABI_DLL)
    set(link_kind /dll /entry:_DllMainCRTStartup)
  else()
    set(file ${ARG_OUTPUT_DIRECTORY}/${ARG_OUTPUT_NAME}.exe)
    set(kind_flags)
    set(link_kind /entry:mainCRTStartup)
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.msabi)
  file(MAKE_DIRECTORY ${work})

  # -fno-ms-compatibility lets clang read MinGW's headers; the ABI is the target's all the same.
  set(flags --target=${triple} -std=c++17 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti
      -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe -fno-ms-compatibility
      -isystem ${CMAKE_FIND_ROOT_PATH}/include -I${PROJECT_SOURCE_DIR} -I${PROJECT_SOURCE_DIR}/include
      ${arch_flags} ${kind_flags})
  set(objects)
  foreach(source IN LISTS ARG_SOURCES MIREL_MSABI_RUNTIME)
    get_filename_component(source ${source} ABSOLUTE)
    get_filename_component(name ${source} NAME_WE)
    set(object ${work}/${name}.obj)
    set(extra)
    if(source STREQUAL MIREL_MSABI_RUNTIME)
      # Its memset must not become a call of memset.
      set(extra -fno-builtin)
    endif()
    add_custom_command(OUTPUT ${object}
      COMMAND ${MIREL_MSABI_CLANG} ${flags} ${extra} -MD -MF ${object}.d -c ${source} -o ${object}
      DEPENDS ${source} DEPFILE ${object}.d
      COMMENT "Compiling ${name} for the Microsoft ABI (${triple})" VERBATIM)
    list(APPEND objects ${object})
  endforeach()

  set(libraries)
  foreach(library IN ITEMS kernel32 user32 LISTS ARG_LIBS)
    find_library(MIREL_MSABI_LIB_${machine}_${library} NAMES ${library})
    if(NOT MIREL_MSABI_LIB_${machine}_${library})
      message(FATAL_ERROR "mirel_msabi_program(${target}): no import library ${library}")
    endif()
    list(APPEND libraries ${MIREL_MSABI_LIB_${machine}_${library}})
  endforeach()
  set(link_flags /nologo /machine:${machine} /nodefaultlib /subsystem:console /dynamicbase
      /nxcompat /stack:0x100000,0x100000 /opt:ref /implib:${work}/${ARG_OUTPUT_NAME}.lib)
  if(machine STREQUAL x86)
    # MinGW's import libraries carry no SafeSEH table; exception handlers work without it.
    list(APPEND link_flags /safeseh:no)
  endif()
  add_custom_command(OUTPUT ${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ARG_OUTPUT_DIRECTORY}
    COMMAND ${MIREL_MSABI_LLD_LINK} ${link_flags} ${link_kind} /out:${file} ${objects} ${libraries}
    DEPENDS ${objects}
    COMMENT "Linking the Microsoft-ABI ${ARG_OUTPUT_NAME} (lld-link /machine:${machine})" VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${file})
  set_target_properties(${target} PROPERTIES MIREL_MSABI_FILE ${file})
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endfunction()
