# Run by `cmake --install` (and by cpack): writes the systemd unit for the installed program,
# and the sample configuration and the registry value that names it unless they are there
# already. See Install.cmake for where they go.
# Inputs: CMAKE_INSTALL_PREFIX (as given to the install), KRI_CONFIG_TEMPLATE, KRI_UNIT_TEMPLATE,
# KRI_DISPLAY_NAME, KRI_STAGING_DIR, KRI_BINDIR, KRI_LIBDIR, KRI_DATADIR.

cmake_path(SET prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/$" "\\1" prefix "${prefix}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/usr/local")
    set(etc "/etc")
else()
    set(etc "${prefix}/etc")
endif()
if(prefix STREQUAL "/usr")
    set(unitDir "/lib/systemd/system")
else()
    set(unitDir "${prefix}/lib/systemd/system")
endif()

set(KRI_CONFIG_DIR "${etc}/kriatmnsvc")
set(KRI_CONFIG_FILE "${KRI_CONFIG_DIR}/KriAtmnSvc.xml")
set(KRI_SCENARIO "${prefix}/${KRI_DATADIR}/kriatmnsvc/scenarios/studio-hour.xml")
set(registryKey "${etc}/kri-registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnholt/KriAtmnSvc")

# The stored value is read into 260 bytes.
string(LENGTH "${KRI_CONFIG_FILE}" pathLength)
if(pathLength GREATER 260)
    message(FATAL_ERROR "The configuration path ${KRI_CONFIG_FILE} is longer than the 260 bytes "
                        "the registry value \"Config\" can hold")
endif()

file(MAKE_DIRECTORY "${KRI_STAGING_DIR}")

# The unit as "KriAtmnSvc -install" writes it for the installed program: the description with
# "%" doubled, the program's path quoted, with "%" and "$" doubled.
string(REPLACE "%" "%%" description "${KRI_DISPLAY_NAME}")
set(program "${prefix}/${KRI_BINDIR}/KriAtmnSvc")
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "\"" "\\\"" program "${program}")
string(REPLACE "%" "%%" program "${program}")
string(REPLACE "$" "$$" program "${program}")
file(READ "${KRI_UNIT_TEMPLATE}" unit)
string(REPLACE "@KRI_UNIT_DESCRIPTION@" "${description}" unit "${unit}")
string(REPLACE "@KRI_UNIT_DEPENDENCIES@\n" "" unit "${unit}")
string(REPLACE "@KRI_UNIT_EXEC_START@" "\"${program}\"" unit "${unit}")
file(WRITE "${KRI_STAGING_DIR}/KriAtmn.service" "${unit}")
file(INSTALL DESTINATION "${unitDir}" TYPE FILE FILES "${KRI_STAGING_DIR}/KriAtmn.service")
configure_file("${KRI_CONFIG_TEMPLATE}" "${KRI_STAGING_DIR}/KriAtmnSvc.xml" @ONLY)
file(WRITE "${KRI_STAGING_DIR}/Config" "${KRI_CONFIG_FILE}")

foreach(pair "KriAtmnSvc.xml|${KRI_CONFIG_DIR}" "Config|${registryKey}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 directory)
    if(EXISTS "$ENV{DESTDIR}${directory}/${name}")
        message(STATUS "Kept: $ENV{DESTDIR}${directory}/${name} (already present)")
    else()
        # The configuration may hold secrets: readable by root and, once the package's postinst
        # gives it the group, by the service's account.
        if(name STREQUAL "KriAtmnSvc.xml")
            set(mode OWNER_READ OWNER_WRITE GROUP_READ)
        else()
            set(mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        endif()
        file(INSTALL DESTINATION "${directory}" TYPE FILE FILES "${KRI_STAGING_DIR}/${name}"
             FILE_PERMISSIONS ${mode})
    endif()
endforeach()
