/* The web asset pack, linked into a read-only section of the executable at build time.
   QV_WEB_PACK_FILE is the quoted path of the pack the build wrote. */

    .section .rodata.qv_web_pack, "a", @progbits
    .balign 16
    .globl qv_web_pack_begin
    .type qv_web_pack_begin, @object
qv_web_pack_begin:
    .incbin QV_WEB_PACK_FILE
    .globl qv_web_pack_end
qv_web_pack_end:
    .size qv_web_pack_begin, qv_web_pack_end - qv_web_pack_begin

    .section .note.GNU-stack, "", @progbits
