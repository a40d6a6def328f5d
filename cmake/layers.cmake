# The layers of the server, bottom up: hardware (what the FPGA design defines), common, sim (the
# simulated FPGA), platform, device, interfaces. A layer's headers are included as
# "<layer>/<file>.h"; each layer's library publishes an include root that holds its folder and
# nothing else (a link in the build tree), so a library sees the headers of the layers it links
# and no others. scripts/check_layers.sh checks the same order on the sources.
function(tarvex_layer_headers target layer dir)
  set(root ${CMAKE_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${dir} ${root}/${layer} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
