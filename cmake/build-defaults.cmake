# Included ahead of project(): the project's optimisation for the shipped
# code, as the defaults of the Release and MinSizeRel builds. The tool runs
# once per boot on a small device, so it is built for size (that costs a few
# dozen instructions a run) with unused sections dropped. Being the cache's
# defaults, not options added to each target, they come ahead of CXXFLAGS and
# LDFLAGS, a -DCMAKE_CXX_FLAGS_RELEASE=... replaces them, and the build type
# None has none of them: a distribution's flags alone decide there.
foreach(config RELEASE MINSIZEREL)
  set(CMAKE_CXX_FLAGS_${config} "-Os -DNDEBUG -ffunction-sections -fdata-sections"
    CACHE STRING "Flags used by the C++ compiler during ${config} builds.")
  set(CMAKE_EXE_LINKER_FLAGS_${config} "-Wl,--gc-sections"
    CACHE STRING "Flags used by the linker during ${config} builds.")
  set(CMAKE_SHARED_LINKER_FLAGS_${config} "-Wl,--gc-sections"
    CACHE STRING "Flags used by the linker during the creation of shared libraries during ${config} builds.")
endforeach()
