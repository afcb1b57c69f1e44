# Locates what the library's users compile and link against besides the
# library itself: LCM, Boost (headers only) and the threads library. Used by
# the project's own build and by the installed package alike.
find_package(Threads REQUIRED)

if(NOT TARGET kalvent_legged_sdk::lcm)
  find_path(KALVENT_LCM_INCLUDE_DIR lcm/lcm-cpp.hpp)
  find_library(KALVENT_LCM_LIBRARY lcm)
  if(KALVENT_LCM_INCLUDE_DIR AND KALVENT_LCM_LIBRARY)
    add_library(kalvent_legged_sdk::lcm UNKNOWN IMPORTED)
    set_target_properties(kalvent_legged_sdk::lcm PROPERTIES
      IMPORTED_LOCATION "${KALVENT_LCM_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${KALVENT_LCM_INCLUDE_DIR}")
  endif()
endif()

if(NOT TARGET kalvent_legged_sdk::boost)
  find_path(KALVENT_BOOST_INCLUDE_DIR boost/function.hpp)
  if(KALVENT_BOOST_INCLUDE_DIR)
    add_library(kalvent_legged_sdk::boost INTERFACE IMPORTED)
    set_target_properties(kalvent_legged_sdk::boost PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${KALVENT_BOOST_INCLUDE_DIR}")
  endif()
endif()

set(KALVENT_DEPS_MISSING "")
foreach(dep lcm boost)
  if(NOT TARGET kalvent_legged_sdk::${dep})
    list(APPEND KALVENT_DEPS_MISSING ${dep})
  endif()
endforeach()
