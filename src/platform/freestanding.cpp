// The memory routines a compiler may call on its own, for the programs of
// this project that carry no C runtime (halunupd.exe and halunmsi.dll); the
// build of each adds this file.
extern "C" {

void *memset(void *destination, int value, __SIZE_TYPE__ count) {
  volatile unsigned char *bytes = (volatile unsigned char *)destination;
  while (count-- != 0) *bytes++ = (unsigned char)value;
  return destination;
}

void *memcpy(void *destination, const void *source, __SIZE_TYPE__ count) {
  volatile unsigned char *to = (volatile unsigned char *)destination;
  const unsigned char *from = (const unsigned char *)source;
  while (count-- != 0) *to++ = *from++;
  return destination;
}
}
