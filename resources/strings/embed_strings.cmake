# Turns the string tables into one C++ source: each table becomes a raw
# string literal that the program parses on first use.
# Usage: cmake -DIN_DIR=<folder of the tables> -DOUT=<source to write> -P embed_strings.cmake
set(delimiter "tarvstrings")
set(out "// Made from resources/strings/*.txt at build time. Do not edit.\n")
string(APPEND out "namespace TarvMessages::tables {\n")
foreach(lang en de fr)
  file(READ "${IN_DIR}/${lang}.txt" text)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${lang}.txt contains the literal's closing sequence")
  endif()
  string(APPEND out "extern const char k_${lang}[] = R\"${delimiter}(${text})${delimiter}\";\n")
endforeach()
string(APPEND out "}  // namespace TarvMessages::tables\n")
file(WRITE "${OUT}.new" "${out}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
