# Writes a C++ source with the GIF files as byte arrays, each named by its
# file name without the extension, and GifResources() listing them.
# cmake -DOUTPUT=<file.cpp> -DINPUTS=<a.gif;b.gif;...> -P embed_gifs.cmake
set(text "// Generated from player/gif/resources/*.gif when the player is built.\n")
string(APPEND text "#include \"player/gif/gifresources.h\"\n\nnamespace {\n")
set(table "")
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME_WE)
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes to a line.
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND text "const std::uint8_t k${name}[] = {\n    ${bytes}\n};\n")
  string(APPEND table "    {\"${name}\", k${name}, sizeof(k${name})},\n")
endforeach()
string(APPEND text "const GifResource kResources[] = {\n${table}};\n} // namespace\n\n")
string(APPEND text "std::span<const GifResource> GifResources()\n{\n    return kResources;\n}\n")
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
