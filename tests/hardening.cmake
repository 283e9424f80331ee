# Robustness suites: hostile inputs, the corpus, concurrent callers and, on
# Linux, failing writes injected by a preloaded shim.
imgwatermark_add_test(hostile_test io/hostile_test.cpp)
imgwatermark_add_test(declared_size_test io/declared_size_test.cpp)
imgwatermark_add_test(corpus_test io/corpus_test.cpp)
imgwatermark_add_test(thread_test api/thread_test.cpp)

if(NOT WIN32)
  # fwrite / fflush / fclose / fsync / rename failing on demand. The test
  # links the shim ahead of the C library, so the shared module's calls bind
  # to it exactly as they would with LD_PRELOAD.
  add_library(imgwatermark_fault_shim SHARED support/fault_shim.c)
  target_compile_options(imgwatermark_fault_shim PRIVATE -Wall -Wextra -Wpedantic)
  target_link_libraries(imgwatermark_fault_shim PRIVATE ${CMAKE_DL_LIBS})
  imgwatermark_add_test(write_fault_test io/write_fault_test.cpp MODULE)
  target_link_libraries(write_fault_test PRIVATE imgwatermark_fault_shim)
endif()
