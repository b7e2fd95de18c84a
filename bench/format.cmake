# Formatted output: sprintf_s against the C library's snprintf and, when
# libfmt-dev is installed, against {fmt}'s format_to_n.
find_package(fmt QUIET)
zorva_add_bench(bench_format SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_format.cpp LIBS bounded)
if(fmt_FOUND)
  target_link_libraries(bench_format PRIVATE fmt::fmt)
  target_compile_definitions(bench_format PRIVATE ZORVA_BENCH_WITH_FMT=1)
else()
  message(STATUS "libfmt-dev not found: bench_format runs without the {fmt} column")
endif()
