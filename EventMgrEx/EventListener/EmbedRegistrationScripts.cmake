# EmbedRegistrationScripts.cmake -- turns the .rgs files into a C++ source, the POSIX stand-in for "REGISTRY" resources.
# Run at build time: cmake -DOUTPUT=<file.cpp> -DSCRIPTS="<id>=<path>;..." -P EmbedRegistrationScripts.cmake
# The .rgs files stay the one source of truth: their bytes are copied as they are, with no
# terminator added, so that both builds interpret exactly the same text.
set(arrays "")
set(entries "")
foreach(item IN LISTS SCRIPTS)
  string(FIND "${item}" "=" eq)
  if(eq LESS 1)
    message(FATAL_ERROR "expected <id>=<path>, got '${item}'")
  endif()
  string(SUBSTRING "${item}" 0 ${eq} id)
  math(EXPR start "${eq} + 1")
  string(SUBSTRING "${item}" ${start} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  if(size EQUAL 0)
    message(FATAL_ERROR "registration script ${path} is empty")
  endif()
  # Sixteen bytes a line keeps the generated file readable.
  set(bytes "")
  set(offset 0)
  while(offset LESS hexlen)
    string(SUBSTRING "${hex}" ${offset} 32 chunk)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," chunk "${chunk}")
    string(APPEND bytes "    ${chunk}\n")
    math(EXPR offset "${offset} + 32")
  endwhile()
  get_filename_component(name "${path}" NAME)
  string(APPEND arrays "// ${name}\nconst unsigned char kScript${id}[${size}] = {\n${bytes}};\n\n")
  string(APPEND entries "    {${id}, kScript${id}, ${size}},\n")
endforeach()
file(WRITE "${OUTPUT}.tmp"
"// RegistrationScriptData.cpp -- generated from the .rgs files by EmbedRegistrationScripts.cmake; do not edit.
#include \"RegistrationScripts.h\"

namespace {

${arrays}}  // namespace

extern const EmbeddedScript kEmbeddedScripts[] = {
${entries}};
extern const size_t kEmbeddedScriptCount = sizeof(kEmbeddedScripts) / sizeof(kEmbeddedScripts[0]);
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
