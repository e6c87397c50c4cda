/* The version stamp every plug-in carries: the host's string table. One source
 * for the Windows resource script and for the ELF section the embedded host reads. */
#ifndef QUORV_VERSION_STAMP_H
#define QUORV_VERSION_STAMP_H

#define QUORV_STAMP_LANGUAGE 1033
#define QUORV_STAMP_ID_HOST 100
#define QUORV_STAMP_ID_INLINE 101
#define QUORV_STAMP_HOST "MATLAB 5.1 native"
#define QUORV_STAMP_INLINE "not inlined"
/* Our own addition: the plug-in's name, so that a host can tell a file put in
 * the wrong slot (quorv_perf copied as quorv_train). Given at build time as
 * the bare word QUORV_PLUGIN_NAME (quorv_train, quorv_perf); absent from
 * stamps built without it. */
#define QUORV_STAMP_ID_NAME 102

/* ELF form: the section name and its text, "language\nid text\nid text\n",
 * followed by "102 name\n" when the plug-in's name is given. */
#define QUORV_STAMP_SECTION ".mexstamp"
#define QUORV_STAMP_STR2(x) #x
#define QUORV_STAMP_STR(x) QUORV_STAMP_STR2(x)
#define QUORV_STAMP_TEXT                                                        \
    QUORV_STAMP_STR(QUORV_STAMP_LANGUAGE) "\n"                                  \
    QUORV_STAMP_STR(QUORV_STAMP_ID_HOST) " " QUORV_STAMP_HOST "\n"              \
    QUORV_STAMP_STR(QUORV_STAMP_ID_INLINE) " " QUORV_STAMP_INLINE "\n"
#define QUORV_STAMP_NAME_PREFIX QUORV_STAMP_STR(QUORV_STAMP_ID_NAME) " "

#endif
