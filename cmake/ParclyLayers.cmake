# The app's layers point one way: lifecycle above menubar above sources, service and web (see
# docs/ARCHITECTURE.md). Every target has the whole source tree on its include path, so linking
# alone would not stop a lower layer from including a header of a higher one.
#
# parcly_layer_below(TARGET FOLDER...) shadows each header of the named folders, for that target's
# own sources only, with one that stops the compile and says why. A header added to a folder later
# is shadowed at the next configure (the glob is checked at each build).
function(parcly_layer_below target)
    set(shadow "${CMAKE_CURRENT_BINARY_DIR}/${target}-layers-above")
    file(REMOVE_RECURSE "${shadow}")
    foreach(folder IN LISTS ARGN)
        file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/${folder}/*.h")
        foreach(header IN LISTS headers)
            file(WRITE "${shadow}/${header}"
                 "#error \"${header} is in a layer above ${target}: pass what is needed in, or tell the owner through a signal\"\n")
        endforeach()
    endforeach()
    target_include_directories(${target} BEFORE PRIVATE "${shadow}")
endfunction()
