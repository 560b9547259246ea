// Base64 text (standard alphabet, "=" padding) for the proxy's Basic
// authorization line. Encoding only: nothing in the library decodes.
#ifndef TW_BASE64_H
#define TW_BASE64_H

// Characters Base64Encode writes for nLen bytes, without the terminating NUL
// (line breaks included when bLineBreak is set); -1 for a negative length or
// a result beyond the int range. Size the destination with this + 1.
int Base64EncodedLength(int nLen, bool bLineBreak);

// Encodes nLen bytes of lpSrc into lpDst and terminates it. With bLineBreak,
// CR LF follows every 76th encoded character. Returns the characters written
// without the NUL, or -1 (and writes nothing) for a null source or
// destination or a negative length.
int Base64Encode(const void* lpSrc, char* lpDst, int nLen, bool bLineBreak);

#endif
