# DOS test programs, built from source by the test build (never checked in):
#
#   halverd_dos_program(<name> <source>)
#     <source>.asm: nasm -f bin into ${HALVERD_DOS_DIR}/<NAME>.COM, or <NAME>.EXE
#                   when the source has the line "; format: exe" (it then lays
#                   out its own MZ header);
#     <source>.c:   bcc -Md (small model, DOS C library) into <NAME>.COM.
#   halverd_dos_programs_in(<dir>)
#     one program for every <dir>/*.asm and <dir>/*.c, named after the file.
#
# <NAME> is <name> in upper case and must be a DOS base name (1-8 characters).
# The target dos_programs builds them all; halverd_tests depends on it and finds
# them through the compile definition HALVERD_DOS_DIR.

set(HALVERD_DOS_DIR "${CMAKE_BINARY_DIR}/dos")
file(MAKE_DIRECTORY "${HALVERD_DOS_DIR}")
add_custom_target(dos_programs ALL)

find_program(HALVERD_NASM nasm)
find_program(HALVERD_BCC bcc)

function(halverd_dos_program name source)
  get_filename_component(source "${source}" ABSOLUTE)
  string(TOUPPER "${name}" dos_name)
  string(LENGTH "${dos_name}" length)
  if(NOT dos_name MATCHES "^[A-Z0-9_-]+$" OR length GREATER 8)
    message(FATAL_ERROR "halverd_dos_program: '${name}' is no DOS base name (1-8 letters, digits, _ or -)")
  endif()
  get_filename_component(ext "${source}" LAST_EXT)
  string(TOLOWER "${ext}" ext)
  get_filename_component(source_dir "${source}" DIRECTORY)

  if(ext STREQUAL ".asm")
    if(NOT HALVERD_NASM)
      message(FATAL_ERROR "nasm not found: run scripts/setup.sh")
    endif()
    file(STRINGS "${source}" exe_marker REGEX "^[ \t]*;[ \t]*[Ff][Oo][Rr][Mm][Aa][Tt]:[ \t]*[Ee][Xx][Ee][ \t]*$")
    if(exe_marker)
      set(output "${HALVERD_DOS_DIR}/${dos_name}.EXE")
    else()
      set(output "${HALVERD_DOS_DIR}/${dos_name}.COM")
    endif()
    add_custom_command(OUTPUT "${output}"
      COMMAND "${HALVERD_NASM}" -f bin -w+all -I "${source_dir}/" -MD "${output}.d" -o "${output}" "${source}"
      DEPENDS "${source}"
      DEPFILE "${output}.d"
      COMMENT "nasm ${name}"
      VERBATIM)
  elseif(ext STREQUAL ".c")
    if(NOT HALVERD_BCC)
      message(FATAL_ERROR "bcc not found: run scripts/setup.sh")
    endif()
    set(output "${HALVERD_DOS_DIR}/${dos_name}.COM")
    file(GLOB headers CONFIGURE_DEPENDS "${source_dir}/*.h")
    add_custom_command(OUTPUT "${output}"
      COMMAND "${HALVERD_BCC}" -Md "-I${source_dir}" -o "${output}" "${source}"
      DEPENDS "${source}" ${headers}
      COMMENT "bcc ${name}"
      VERBATIM)
  else()
    message(FATAL_ERROR "halverd_dos_program: ${source} is neither .asm nor .c")
  endif()

  add_custom_target(dos_${dos_name} DEPENDS "${output}")
  add_dependencies(dos_programs dos_${dos_name})
endfunction()

function(halverd_dos_programs_in dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.asm" "${dir}/*.c")
  foreach(source IN LISTS sources)
    get_filename_component(name "${source}" NAME_WE)
    halverd_dos_program("${name}" "${source}")
  endforeach()
endfunction()
