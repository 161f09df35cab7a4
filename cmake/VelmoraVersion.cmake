# velmora_version_resource(<target> <a> <b> <c> <d> <DLL|APP>)
# Gives a target the file version record that GetFileVersionInfoA reads
# back from the built file.
function(velmora_version_resource target a b c d kind)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cpp)
  if(kind STREQUAL "APP")
    set(filetype 1)
  else()
    set(filetype 2)
  endif()
  file(WRITE ${out}.in
"#include <winver.h>\nVELMORA_FILE_VERSION(${a}, ${b}, ${c}, ${d}, ${filetype})\n")
  configure_file(${out}.in ${out} COPYONLY)
  target_sources(${target} PRIVATE ${out})
endfunction()
