# Finds the system RDKit (headers under include/rdkit, libraries named RDKit<Component>)
# and creates imported targets RDKit::<Component> for the components korvane uses.
find_path(RDKit_INCLUDE_DIR GraphMol/ROMol.h PATH_SUFFIXES rdkit)

set(_rdkit_components RDGeneral RDGeometryLib DataStructs GraphMol SmilesParse
    SubstructMatch Depictor)
set(RDKit_LIBRARIES)
foreach(_c IN LISTS _rdkit_components)
  find_library(RDKit_${_c}_LIBRARY NAMES RDKit${_c})
  list(APPEND _rdkit_required RDKit_${_c}_LIBRARY)
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(RDKit REQUIRED_VARS RDKit_INCLUDE_DIR ${_rdkit_required})

if(RDKit_FOUND)
  find_package(Boost REQUIRED)
  foreach(_c IN LISTS _rdkit_components)
    if(NOT TARGET RDKit::${_c})
      add_library(RDKit::${_c} SHARED IMPORTED)
      set_target_properties(RDKit::${_c} PROPERTIES
        IMPORTED_LOCATION "${RDKit_${_c}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${RDKit_INCLUDE_DIR};${Boost_INCLUDE_DIRS}"
        INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${RDKit_INCLUDE_DIR};${Boost_INCLUDE_DIRS}")
    endif()
  endforeach()
endif()
mark_as_advanced(RDKit_INCLUDE_DIR)
