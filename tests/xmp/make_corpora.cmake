# The corpora the sameness tests read, made afresh: the bench corpus, part of the XMP-heavy
# one, the fuzz seeds as TIFF files and the generated packets.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PYTHON} ${SOURCE}/bench/make_corpus.py ${OUT}/bench-all
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
file(RENAME ${OUT}/bench-all/corpus ${OUT}/bench)
file(REMOVE_RECURSE ${OUT}/bench-all)
execute_process(COMMAND ${PYTHON} ${SOURCE}/bench/make_corpus.py ${OUT}/heavy-all --xmp-heavy --files 500
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
file(RENAME ${OUT}/heavy-all/xmp-heavy ${OUT}/heavy)
file(REMOVE_RECURSE ${OUT}/heavy-all)
file(MAKE_DIRECTORY ${OUT}/seeds)
execute_process(COMMAND ${SEEDS} ${OUT}/seeds COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${PYTHON} ${SOURCE}/tests/xmp/make_packets.py ${OUT}/generated
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
