# zlib's sources as every program builds them: Debian's source package of
# zlib 1.2.13 (scripts/install-deps unpacks it into out/zlib-source/src),
# copied into the build folder with one addition, so that the updater can
# deflate a zip member again as Info-ZIP's zip made it.
#
# Info-ZIP's deflate is zlib's with three differences: the hash of memLevel 8
# (15 bits), the symbol buffer of memLevel 9 (32K), and a block that may end
# early, every 4096 symbols, where fewer than half are matches and an upper
# bound of its compressed size is below half its input. deflateInit2 takes
# memLevel 10 for that ("zip's blocks"): 100 % of 4,216 members of zip -1,
# -3, -6 and -9 archives (Debian's zip 3.0, 128 MB) came out bit for bit,
# where zlib's own memLevels made 0.2 to 56 % of their bytes.
#
# With ZLIB_TABLES_AT_START defined (the Windows programs), zlib builds its
# fixed Huffman tables once at program start, before any thread runs, instead
# of carrying them: 4 KB less of updater.exe.
#
# With ZLIB_LEVELS_1_TO_9 defined (the Windows programs), deflateInit2 refuses
# level 0 and the Huffman-only and run-length strategies, which no program
# of ours asks for, and their code is left out: 1 KB less of updater.exe.
#
# Sets zlib_source_dir to the copy and zlib_parts to its file names.
set(UPDATER_ZLIB_SOURCE "${CMAKE_SOURCE_DIR}/out/zlib-source/src" CACHE PATH
    "zlib's sources, which every program links")
if(NOT EXISTS "${UPDATER_ZLIB_SOURCE}/zlib.h")
  message(FATAL_ERROR "zlib's sources are missing at ${UPDATER_ZLIB_SOURCE}: run scripts/install-deps")
endif()
set(zlib_source_dir ${CMAKE_BINARY_DIR}/zlib-source)
set(zlib_parts adler32 compress crc32 deflate inflate inftrees inffast trees uncompr zutil)
file(GLOB zlib_files ${UPDATER_ZLIB_SOURCE}/*.c ${UPDATER_ZLIB_SOURCE}/*.h)
file(COPY ${zlib_files} DESTINATION ${zlib_source_dir})

# Replaces `from` with `to` in zlib's `file`, where it is found exactly `count` times.
function(zlib_replace file count from to)
  file(READ ${zlib_source_dir}/${file} text)
  string(LENGTH "${text}" before)
  string(REPLACE "${from}" "" without "${text}")
  string(LENGTH "${without}" after)
  string(LENGTH "${from}" length)
  math(EXPR found "(${before} - ${after}) / ${length}")
  if(NOT found EQUAL count)
    message(FATAL_ERROR "zlib's ${file} is not the 1.2.13 this build adds zip's blocks to")
  endif()
  string(REPLACE "${from}" "${to}" text "${text}")
  file(WRITE ${zlib_source_dir}/${file} "${text}")
endfunction()

zlib_replace(deflate.h 1 "    ulg high_water;"
             "    ulg high_water;\n    int zip_blocks;  /* memLevel 10: Info-ZIP's blocks */")
zlib_replace(deflate.h 2 "flush = (s->sym_next == s->sym_end);"
             "flush = (s->sym_next == s->sym_end) || (s->zip_blocks && _tr_zip_block_end(s));")
zlib_replace(deflate.h 1 "void ZLIB_INTERNAL _tr_flush_bits OF((deflate_state *s));"
             "void ZLIB_INTERNAL _tr_flush_bits OF((deflate_state *s));\nint ZLIB_INTERNAL _tr_zip_block_end OF((deflate_state *s));")
zlib_replace(deflate.c 1 "memLevel > MAX_MEM_LEVEL ||" "memLevel > MAX_MEM_LEVEL + 1 ||")
zlib_replace(deflate.c 1 "    s->hash_bits = (uInt)memLevel + 7;"
             "    s->zip_blocks = memLevel > MAX_MEM_LEVEL;\n    if (s->zip_blocks) memLevel = 8;\n    s->hash_bits = (uInt)memLevel + 7;\n    if (s->zip_blocks) memLevel = 9;")
file(APPEND ${zlib_source_dir}/trees.c "
/* Info-ZIP's early end of a block: every 4096 symbols, where fewer than
 * half are matches and an upper bound of the block's compressed size is
 * below half of its input. */
int ZLIB_INTERNAL _tr_zip_block_end(s)
    deflate_state *s;
{
    unsigned symbols = s->sym_next / 3, matches = 0;
    ulg out_length = (ulg)symbols * 8L;
    int dcode;
    if (s->level <= 2 || (symbols & 0xfff) != 0) return 0;
    for (dcode = 0; dcode < D_CODES; dcode++) {
        out_length += (ulg)s->dyn_dtree[dcode].Freq * (5L + extra_dbits[dcode]);
        matches += s->dyn_dtree[dcode].Freq;
    }
    return matches < symbols / 2 &&
           (out_length >> 3) < (ulg)((long)s->strstart - s->block_start) / 2;
}
")

# Levels 1 to 9 only: the stored, Huffman-only and run-length coders go.
zlib_replace(deflate.c 1 "local block_state deflate_huff   OF((deflate_state *s, int flush));"
             "local block_state deflate_huff   OF((deflate_state *s, int flush));
#ifdef ZLIB_LEVELS_1_TO_9
#  define ZLIB_REFUSED(level, strategy) \\
    ((level) == 0 || (strategy) == Z_HUFFMAN_ONLY || (strategy) == Z_RLE)
#  define ZLIB_LEVEL_0 deflate_fast
#else
#  define ZLIB_REFUSED(level, strategy) 0
#  define ZLIB_LEVEL_0 deflate_stored
#endif")
zlib_replace(deflate.c 1 "strategy > Z_FIXED || (windowBits == 8 && wrap != 1)) {"
             "strategy > Z_FIXED || (windowBits == 8 && wrap != 1) ||
        ZLIB_REFUSED(level, strategy)) {")
zlib_replace(deflate.c 1 "/* 0 */ {0,    0,  0,    0, deflate_stored},  /* store only */
/* 1 */ {4,    4,  8,    4, deflate_fast}, /*"
             "/* 0 */ {0,    0,  0,    0, ZLIB_LEVEL_0},  /* store only */
/* 1 */ {4,    4,  8,    4, deflate_fast}, /*")
zlib_replace(deflate.c 1 "        bstate = s->level == 0 ? deflate_stored(s, flush) :
                 s->strategy == Z_HUFFMAN_ONLY ? deflate_huff(s, flush) :
                 s->strategy == Z_RLE ? deflate_rle(s, flush) :
                 (*(configuration_table[s->level].func))(s, flush);"
             "#ifdef ZLIB_LEVELS_1_TO_9
        bstate = (*(configuration_table[s->level].func))(s, flush);
#else
        bstate = s->level == 0 ? deflate_stored(s, flush) :
                 s->strategy == Z_HUFFMAN_ONLY ? deflate_huff(s, flush) :
                 s->strategy == Z_RLE ? deflate_rle(s, flush) :
                 (*(configuration_table[s->level].func))(s, flush);
#endif")

# The tables at start: deflate's (trees.c) as zlib builds them for compilers
# that cannot take trees.h, inflate's as BUILDFIXED builds them. Each is built
# in a constructor, so that no two threads ever build one at once.
set(tables_built "defined(GEN_TREES_H) || !defined(STDC)")
zlib_replace(trees.c 2 "#if ${tables_built}" "#if ${tables_built} || defined(ZLIB_TABLES_AT_START)")
zlib_replace(deflate.h 1 "#if ${tables_built}" "#if ${tables_built} || defined(ZLIB_TABLES_AT_START)")
zlib_replace(inflate.c 1 "#ifdef MAKEFIXED\n#  ifndef BUILDFIXED"
             "#if defined(MAKEFIXED) || defined(ZLIB_TABLES_AT_START)\n#  ifndef BUILDFIXED")
file(APPEND ${zlib_source_dir}/trees.c "
#ifdef ZLIB_TABLES_AT_START
local void __attribute__((constructor)) tables_at_start(void) { tr_static_init(); }
#endif
")
file(APPEND ${zlib_source_dir}/inflate.c "
#ifdef ZLIB_TABLES_AT_START
local void __attribute__((constructor)) tables_at_start(void)
{
    struct inflate_state state;
    fixedtables(&state);
}
#endif
")
