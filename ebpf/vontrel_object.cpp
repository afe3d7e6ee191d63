/* The compiled BPF program, embedded as bytes. */
#include "vontrel_object.h"

asm(".section .rodata\n"
    ".balign 8\n"
    ".global vontrel_object_bytes\n"
    "vontrel_object_bytes:\n"
    ".incbin \"" VONTREL_OBJECT_PATH "\"\n"
    ".global vontrel_object_end\n"
    "vontrel_object_end:\n"
    ".previous\n");

extern "C" const unsigned char vontrel_object_end[];

const unsigned char *vontrelObject() { return vontrel_object_bytes; }
size_t vontrelObjectSize() { return (size_t)(vontrel_object_end - vontrel_object_bytes); }
