// The few expat declarations the module needs, matching expat's ABI, and the
// table of expat functions that CPython's pyexpat module hands to C code
// through its capsule "pyexpat.expat_CAPI". Declared here so that building
// the module needs no expat headers; the capsule's magic text and size are
// checked before the table is used.
#pragma once

namespace tp::expat {

extern "C" {
typedef char XML_Char;
typedef char XML_LChar;
typedef unsigned char XML_Bool;
typedef unsigned long XML_Size;  // expat's default (XML_LARGE_SIZE off), as CPython builds it
typedef struct XML_ParserStruct* XML_Parser;

enum XML_Status { XML_STATUS_ERROR = 0, XML_STATUS_OK = 1, XML_STATUS_SUSPENDED = 2 };
enum XML_Error { XML_ERROR_NONE = 0 };

typedef struct {
    void* (*malloc_fcn)(size_t size);
    void* (*realloc_fcn)(void* ptr, size_t size);
    void (*free_fcn)(void* ptr);
} XML_Memory_Handling_Suite;

typedef struct {
    int map[256];
    void* data;
    int (*convert)(void* data, const char* s);
    void (*release)(void* data);
} XML_Encoding;

typedef void (*XML_StartElementHandler)(void* userData, const XML_Char* name, const XML_Char** atts);
typedef void (*XML_EndElementHandler)(void* userData, const XML_Char* name);
typedef void (*XML_CharacterDataHandler)(void* userData, const XML_Char* s, int len);
typedef void (*XML_CommentHandler)(void* userData, const XML_Char* data);
typedef void (*XML_DefaultHandler)(void* userData, const XML_Char* s, int len);
typedef void (*XML_StartNamespaceDeclHandler)(void* userData, const XML_Char* prefix, const XML_Char* uri);
typedef void (*XML_EndNamespaceDeclHandler)(void* userData, const XML_Char* prefix);
typedef void (*XML_ProcessingInstructionHandler)(void* userData, const XML_Char* target, const XML_Char* data);
typedef int (*XML_UnknownEncodingHandler)(void* encodingHandlerData, const XML_Char* name, XML_Encoding* info);
typedef void (*XML_StartDoctypeDeclHandler)(void* userData, const XML_Char* doctypeName, const XML_Char* sysid,
                                            const XML_Char* pubid, int has_internal_subset);
}

#define TP_EXPAT_CAPI_MAGIC "pyexpat.expat_CAPI 1.1"
#define TP_EXPAT_CAPSULE_NAME "pyexpat.expat_CAPI"

// struct PyExpat_CAPI, field for field.
struct CAPI {
    char* magic;
    int size;
    int MAJOR_VERSION;
    int MINOR_VERSION;
    int MICRO_VERSION;
    const XML_LChar* (*ErrorString)(enum XML_Error code);
    enum XML_Error (*GetErrorCode)(XML_Parser parser);
    XML_Size (*GetErrorColumnNumber)(XML_Parser parser);
    XML_Size (*GetErrorLineNumber)(XML_Parser parser);
    enum XML_Status (*Parse)(XML_Parser parser, const char* s, int len, int isFinal);
    XML_Parser (*ParserCreate_MM)(const XML_Char* encoding, const XML_Memory_Handling_Suite* memsuite,
                                  const XML_Char* namespaceSeparator);
    void (*ParserFree)(XML_Parser parser);
    void (*SetCharacterDataHandler)(XML_Parser parser, XML_CharacterDataHandler handler);
    void (*SetCommentHandler)(XML_Parser parser, XML_CommentHandler handler);
    void (*SetDefaultHandlerExpand)(XML_Parser parser, XML_DefaultHandler handler);
    void (*SetElementHandler)(XML_Parser parser, XML_StartElementHandler start, XML_EndElementHandler end);
    void (*SetNamespaceDeclHandler)(XML_Parser parser, XML_StartNamespaceDeclHandler start,
                                    XML_EndNamespaceDeclHandler end);
    void (*SetProcessingInstructionHandler)(XML_Parser parser, XML_ProcessingInstructionHandler handler);
    void (*SetUnknownEncodingHandler)(XML_Parser parser, XML_UnknownEncodingHandler handler,
                                      void* encodingHandlerData);
    void (*SetUserData)(XML_Parser parser, void* userData);
    void (*SetStartDoctypeDeclHandler)(XML_Parser parser, XML_StartDoctypeDeclHandler start);
    enum XML_Status (*SetEncoding)(XML_Parser parser, const XML_Char* encoding);
    int (*DefaultUnknownEncodingHandler)(void* encodingHandlerData, const XML_Char* name, XML_Encoding* info);
    int (*SetHashSalt)(XML_Parser parser, unsigned long hash_salt);  // may be null
    XML_Bool (*SetReparseDeferralEnabled)(XML_Parser parser, XML_Bool enabled);  // newer tables only; may be null
};

}  // namespace tp::expat
