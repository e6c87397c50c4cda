/* The version stamp every plug-in carries: the host's string table. One source
 * for the Windows resource script and for the ELF section the embedded host reads. */
#ifndef QUORV_VERSION_STAMP_H
#define QUORV_VERSION_STAMP_H

#define QUORV_STAMP_LANGUAGE 1033
#define QUORV_STAMP_ID_HOST 100
#define QUORV_STAMP_ID_INLINE 101
#define QUORV_STAMP_HOST "MATLAB 5.1 native"
#define QUORV_STAMP_INLINE "not inlined"

/* ELF form: the section name and its text, "language\nid text\nid text\n". */
#define QUORV_STAMP_SECTION ".mexstamp"
#define QUORV_STAMP_STR2(x) #x
#define QUORV_STAMP_STR(x) QUORV_STAMP_STR2(x)
#define QUORV_STAMP_TEXT                                                        \
    QUORV_STAMP_STR(QUORV_STAMP_LANGUAGE) "\n"                                  \
    QUORV_STAMP_STR(QUORV_STAMP_ID_HOST) " " QUORV_STAMP_HOST "\n"              \
    QUORV_STAMP_STR(QUORV_STAMP_ID_INLINE) " " QUORV_STAMP_INLINE "\n"

#endif
