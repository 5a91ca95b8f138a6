# The same sources give the same bytes, whatever folder they are built in and whenever: labs rebuild a
# release to check it. Build paths reach a binary through __FILE__ (assertions) and the debug
# information; the link time through the PE header and the export directory.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp)
