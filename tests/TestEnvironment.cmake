# The environment of every test program, wherever its folder is: the client's, the stand-in's
# and the benchmark's tests all start the window or programs that inherit it.
set(VELMORA_TEST_ENVIRONMENT QT_QPA_PLATFORM=offscreen)
# Qt is not instrumented: its own threads and wait conditions look racy to ThreadSanitizer when
# their calls are checked. Checking only what instrumented code does keeps all of ours in view.
if(VELMORA_TSAN)
    list(APPEND VELMORA_TEST_ENVIRONMENT
         "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1")
endif()
if(VELMORA_ASAN)
    # Whole allocation stacks, so the suppression file can see which library allocated.
    # LeakSanitizer is not told of the blocks glibc hands out for libraries' thread-local
    # storage: this compiler's version takes a block that happens to start 16 bytes into a page
    # for one with an old glibc header, reads an address from before it and its tracer crashes
    # at the exit (libjpeg's block, when the window's logo is read, did it every time). The
    # blocks are ordinary allocations then, found through the thread's own storage like any.
    # Qt's own event loop instead of glib's, for the same crash from glib's blocks.
    list(APPEND VELMORA_TEST_ENVIRONMENT QT_NO_GLIB=1
         "ASAN_OPTIONS=detect_leaks=1 fast_unwind_on_malloc=0 intercept_tls_get_addr=0"
         "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp"
         "UBSAN_OPTIONS=print_stacktrace=1 halt_on_error=1")
endif()

# Every QTest program runs through this, which fails a program that did not reach its end.
set(VELMORA_RUN_TO_THE_END ${CMAKE_CURRENT_LIST_DIR}/support/run-to-the-end.sh)
