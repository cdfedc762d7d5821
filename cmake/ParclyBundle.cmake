# The app's bundle in the build tree, and the helpers that put things into it.
#
#   Parcly Lite.app/Contents/Info.plist            identity of the app
#   Parcly Lite.app/Contents/MacOS/                programs (the tray app, its helpers)
#   Parcly Lite.app/Contents/Resources/            pages and images
#   Parcly Lite.app/Contents/Library/LoginItems/   the login launcher's own bundle
#   Parcly Lite.app/Contents/PlugIns/              modules loaded on demand
#
# PARCLY_BUNDLE_DIR is set by the top-level CMakeLists before this file is included.

if(NOT PARCLY_BUNDLE_DIR)
    message(FATAL_ERROR "PARCLY_BUNDLE_DIR must be set before including ParclyBundle.cmake")
endif()

set(PARCLY_BUNDLE_IDENTIFIER "org.parcly.ParclyLite")
set(PARCLY_BUNDLE_EXECUTABLE "parcly-lite")
set(PARCLY_BUNDLE_NAME "Parcly Lite")

foreach(folder MacOS Resources Library/LoginItems PlugIns)
    file(MAKE_DIRECTORY "${PARCLY_BUNDLE_DIR}/Contents/${folder}")
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/Info.plist.in" "${PARCLY_BUNDLE_DIR}/Contents/Info.plist" @ONLY)

# parcly_bundle_executable(target [BIN_LINK])
# Builds the program into Contents/MacOS. With BIN_LINK, `cmake --install` also links it from bin/.
function(parcly_bundle_executable target)
    cmake_parse_arguments(ARG "BIN_LINK" "" "" ${ARGN})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${PARCLY_BUNDLE_DIR}/Contents/MacOS")
    if(ARG_BIN_LINK)
        get_target_property(name ${target} OUTPUT_NAME)
        if(NOT name)
            set(name ${target})
        endif()
        set_property(GLOBAL APPEND PROPERTY PARCLY_BUNDLE_BIN_LINKS ${name})
    endif()
endfunction()

# parcly_bundle_resources(TARGET_NAME FILES file...)
# A target (built by default) that copies the files into Contents/Resources whenever they change.
# Relative paths are taken from the calling folder.
function(parcly_bundle_resources target_name)
    cmake_parse_arguments(ARG "" "" "FILES" ${ARGN})
    if(NOT ARG_FILES)
        message(FATAL_ERROR "parcly_bundle_resources(${target_name}): no FILES given")
    endif()
    set(copies)
    foreach(file IN LISTS ARG_FILES)
        cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" OUTPUT_VARIABLE source)
        cmake_path(GET source FILENAME name)
        set(copy "${PARCLY_BUNDLE_DIR}/Contents/Resources/${name}")
        add_custom_command(OUTPUT "${copy}"
            COMMAND ${CMAKE_COMMAND} -E copy_if_different "${source}" "${copy}"
            DEPENDS "${source}"
            COMMENT "Bundle resource ${name}"
            VERBATIM)
        list(APPEND copies "${copy}")
    endforeach()
    add_custom_target(${target_name} ALL DEPENDS ${copies})
endfunction()

# parcly_bundle_login_item(target BUNDLE_NAME name IDENTIFIER id)
# Builds the program as the executable of a bundle of its own, Contents/Library/LoginItems/<name>.app,
# with that bundle's Info.plist, where the login-item service looks for helpers.
function(parcly_bundle_login_item target)
    cmake_parse_arguments(ARG "" "BUNDLE_NAME;IDENTIFIER" "" ${ARGN})
    if(NOT ARG_BUNDLE_NAME OR NOT ARG_IDENTIFIER)
        message(FATAL_ERROR "parcly_bundle_login_item(${target}): BUNDLE_NAME and IDENTIFIER are required")
    endif()
    set(bundle "${PARCLY_BUNDLE_DIR}/Contents/Library/LoginItems/${ARG_BUNDLE_NAME}.app")
    get_target_property(executable ${target} OUTPUT_NAME)
    if(NOT executable)
        set(executable ${target})
    endif()
    # The template's variables, for this bundle only.
    set(PARCLY_BUNDLE_IDENTIFIER "${ARG_IDENTIFIER}")
    set(PARCLY_BUNDLE_EXECUTABLE "${executable}")
    set(PARCLY_BUNDLE_NAME "${ARG_BUNDLE_NAME}")
    file(MAKE_DIRECTORY "${bundle}/Contents/MacOS")
    configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in" "${bundle}/Contents/Info.plist" @ONLY)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${bundle}/Contents/MacOS")
endfunction()

# Installation: the whole bundle under lib/parcly-lite/ (whatever programs, helpers and plugins
# the build put into it), programs keeping their modes, and links in bin/ to the programs that
# users start by name. A link is made only for a program that is in the bundle, so installing a
# partial build never leaves a dangling command behind. Links are relative, so the tree works
# wherever it is unpacked (a staged install, a package being assembled).
set_property(GLOBAL APPEND PROPERTY PARCLY_BUNDLE_BIN_LINKS ${PARCLY_BUNDLE_EXECUTABLE})
cmake_path(GET PARCLY_BUNDLE_DIR FILENAME PARCLY_BUNDLE_FOLDER_NAME)
set(PARCLY_BUNDLE_INSTALL_DIR lib/parcly-lite)
install(DIRECTORY "${PARCLY_BUNDLE_DIR}" DESTINATION ${PARCLY_BUNDLE_INSTALL_DIR} USE_SOURCE_PERMISSIONS)

function(_parcly_bundle_install_links)
    get_property(names GLOBAL PROPERTY PARCLY_BUNDLE_BIN_LINKS)
    list(REMOVE_DUPLICATES names)
    set(programs "/prefix/${PARCLY_BUNDLE_INSTALL_DIR}/${PARCLY_BUNDLE_FOLDER_NAME}/Contents/MacOS")
    cmake_path(RELATIVE_PATH programs BASE_DIRECTORY "/prefix/${CMAKE_INSTALL_BINDIR}")
    install(CODE "
        set(bindir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(MAKE_DIRECTORY \"\${bindir}\")
        foreach(name ${names})
            set(target \"${programs}/\${name}\")
            if(EXISTS \"\${bindir}/\${target}\")
                message(STATUS \"Linking: \${bindir}/\${name} -> \${target}\")
                file(REMOVE \"\${bindir}/\${name}\")
                file(CREATE_LINK \"\${target}\" \"\${bindir}/\${name}\" SYMBOLIC)
            else()
                message(STATUS \"Not linking \${bindir}/\${name}: the bundle has no such program\")
            endif()
        endforeach()
    ")
endfunction()
# Deferred so that programs added with BIN_LINK anywhere in the tree are linked too.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL _parcly_bundle_install_links)
