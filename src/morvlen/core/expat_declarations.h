#pragma once
// The expat types that <pyexpat.h> refers to, declared as expat's public header
// declares them (its C interface has kept them unchanged since expat 2.0). The
// functions themselves come from the interpreter's pyexpat module, so the build
// needs no expat headers from the system.

#include <cstddef>

extern "C" {

#ifndef XMLCALL
#define XMLCALL
#endif

typedef char XML_Char;
typedef char XML_LChar;
typedef unsigned char XML_Bool;  // in the interface exported by Python 3.13 and later
typedef unsigned long XML_Size;
typedef struct XML_ParserStruct* XML_Parser;

enum XML_Status { XML_STATUS_ERROR = 0, XML_STATUS_OK = 1, XML_STATUS_SUSPENDED = 2 };

// The first codes, in expat's order; the message of any code comes from ErrorString.
enum XML_Error {
    XML_ERROR_NONE,
    XML_ERROR_NO_MEMORY,
    XML_ERROR_SYNTAX,
    XML_ERROR_NO_ELEMENTS,
    XML_ERROR_INVALID_TOKEN,
    XML_ERROR_UNCLOSED_TOKEN,
    XML_ERROR_PARTIAL_CHAR,
    XML_ERROR_TAG_MISMATCH,
    XML_ERROR_UNKNOWN_ENCODING = 18,
    XML_ERROR_UNCLOSED_CDATA_SECTION = 20,
};

typedef struct {
    void* (*malloc_fcn)(std::size_t size);
    void* (*realloc_fcn)(void* ptr, std::size_t size);
    void (*free_fcn)(void* ptr);
} XML_Memory_Handling_Suite;

typedef struct {
    int map[256];
    void* data;
    int(XMLCALL* convert)(void* data, const char* s);
    void(XMLCALL* release)(void* data);
} XML_Encoding;

typedef void(XMLCALL* XML_StartElementHandler)(void* userData, const XML_Char* name, const XML_Char** atts);
typedef void(XMLCALL* XML_EndElementHandler)(void* userData, const XML_Char* name);
typedef void(XMLCALL* XML_CharacterDataHandler)(void* userData, const XML_Char* s, int len);
typedef void(XMLCALL* XML_ProcessingInstructionHandler)(void* userData, const XML_Char* target, const XML_Char* data);
typedef void(XMLCALL* XML_CommentHandler)(void* userData, const XML_Char* data);
typedef void(XMLCALL* XML_DefaultHandler)(void* userData, const XML_Char* s, int len);
typedef void(XMLCALL* XML_StartDoctypeDeclHandler)(void* userData, const XML_Char* doctypeName, const XML_Char* sysid,
                                                   const XML_Char* pubid, int has_internal_subset);
typedef void(XMLCALL* XML_StartNamespaceDeclHandler)(void* userData, const XML_Char* prefix, const XML_Char* uri);
typedef void(XMLCALL* XML_EndNamespaceDeclHandler)(void* userData, const XML_Char* prefix);
typedef int(XMLCALL* XML_UnknownEncodingHandler)(void* encodingHandlerData, const XML_Char* name, XML_Encoding* info);
}
