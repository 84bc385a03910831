// The error catalogue shared by the image tool family: a text for every
// error key and a bracketed module prefix for every module category.
#ifndef DORV_ZANERRORS_H
#define DORV_ZANERRORS_H

#include <cstdint>
#include <map>
#include <string>

#include "dorv/export.h"

// Catalogue key of an error. The keys are plain numbers (0 means no error);
// only the first is named here.
enum ImageToolsErrorName : int32_t {
    IMAGE_TOOLS_ERROR_NAME_NONE = 0,
};

// Module category of the second catalogue map (0 to 29).
enum ImageToolsErrorType : int32_t {
    IMAGE_TOOLS_ERROR_TYPE_NONE = 0,
};

class DORV_API ZanErrors {
public:
    ZanErrors() = delete;

    // Fills both maps in full; always true.
    static bool init();
    // Replaces both maps with every row. Out of memory, it throws
    // std::bad_alloc and both maps keep what they held.
    static void initStringMaps();
    // A copy of the key's text, or "General Error" for a key without a row.
    static std::string getErrorNameString(ImageToolsErrorName key);

    static std::map<ImageToolsErrorName, std::string> s_imageToolsErrorNameStringMap;
    static std::map<ImageToolsErrorType, std::string> s_imageToolsErrorTypeStringMap;
};

#endif
