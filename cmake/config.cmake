# The outside services the program talks to, fixed at build time. The shipped program
# reads no configuration at run time; tests pass their own loopback origins to the code.
# Downloads go over https only. An origin set here as plain http on a loopback host (a local
# test world, e.g. http://127.0.0.1:8080) lets plain http reach that origin alone; the shipped
# https origins allow none (setup/config.h).
set(MURK_API_ORIGIN "https://api.github.com" CACHE STRING "Code-hosting service REST API origin")
set(MURK_GIT_HOST "https://github.com" CACHE STRING "Code-hosting service git host")
set(MURK_PACKAGE_INDEX_ORIGIN "https://api.nuget.org" CACHE STRING "NuGet v3 flat-container origin")
set(MURK_PACKAGE_INDEX_DOMAIN "nuget.org" CACHE STRING "Package index name shown to the user")
set(MURK_CLANG_REPO "mstorsjo/llvm-mingw" CACHE STRING "Release repository of llvm-mingw")

# Compiles setup/config.cpp with a set of origins into an object library named TARGET.
function(murk_add_config target api git index domain clang)
  add_library(${target} OBJECT ${PROJECT_SOURCE_DIR}/setup/config.cpp)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE
    "MURK_API_ORIGIN=L\"${api}\""
    "MURK_GIT_HOST=\"${git}\""
    "MURK_PACKAGE_INDEX_ORIGIN=L\"${index}\""
    "MURK_PACKAGE_INDEX_DOMAIN=L\"${domain}\""
    "MURK_CLANG_REPO=\"${clang}\"")
endfunction()
