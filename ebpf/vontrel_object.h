/* The BPF program's relocatable object, as built into the library. */
#ifndef VONTREL_OBJECT_H
#define VONTREL_OBJECT_H

#include <cstddef>

extern "C" const unsigned char vontrel_object_bytes[];

const unsigned char *vontrelObject();
size_t vontrelObjectSize();

#endif
