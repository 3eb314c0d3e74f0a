#include "messages.h"

#include "stripedrv.h"

namespace sdmsg {

namespace {

struct CodeText {
    int code;
    const char *text;
};

// One line per code. The same number can mean two things (the library
// reuses its port codes for the reader's status answers), so the sentence
// names both where that happens.
const CodeText kCodeTexts[] = {
    {SD_OK, "success"},
    {SD_ERR_STATUS,
     "the reader gave no status answer, or one the driver does not know "
     "(is a reader of this kind attached, at this speed?)"},
    {SD_ERR_TIMEOUT,
     "no card was swiped within the time limit, or the reader stopped "
     "answering"},
    {SD_ERR_PORT,
     "the port cannot be opened (check the port name and that you may use "
     "the device), or the reader answered the status \"rs\""},
    {SD_ERR_CLOSE,
     "the reader answered the status \"rt\", or the port could not be closed"},
    {SD_ERR_RQ, "the reader answered the status \"rq\": it did not complete "
                "the operation (swipe the card again, evenly)"},
    {SD_ERR_TRACKMODE, "the track selection is not 2, 3 or 23"},
    {SD_ERR_PARAM,
     "the track texts are missing or too long for one write (at most 194 "
     "characters on track 2 alone, 193 on track 3 or on both together); "
     "nothing was sent"},
    {SD_ERR_DATA, "the reader's identity answer is malformed"},
    {SD_ERR_LOADSO, "the request library QOVA/libreqjson.so cannot be loaded"},
    {SD_ERR_WRITE, "the command could not be sent completely to the reader"},
    {SD_ERR_CANCELLED, "cancelled by the host"},
    {SD_ERR_BUSY, "the reader is in use by another program"},
};

} // namespace

bool isKnownCode(int code)
{
    for (const CodeText &entry : kCodeTexts)
        if (entry.code == code)
            return true;
    // The reader's refusals of a swipe: a digit or one of the letters A..D
    // sent in place of the start byte.
    return (code >= SD_READ_ERR_DIGIT('0') && code <= SD_READ_ERR_DIGIT('9')) ||
           (code >= SD_READ_ERR_LETTER('A') && code <= SD_READ_ERR_LETTER('D'));
}

std::string codeMessage(int code)
{
    for (const CodeText &entry : kCodeTexts)
        if (entry.code == code)
            return entry.text;
    if (code >= SD_READ_ERR_DIGIT('0') && code <= SD_READ_ERR_DIGIT('9'))
        return std::string("the reader refused the swipe with error \"") +
               char('0' + code - SD_READ_ERR_DIGIT('0')) +
               "\" (no readable data on the selected tracks?)";
    if (code >= SD_READ_ERR_LETTER('A') && code <= SD_READ_ERR_LETTER('D'))
        return std::string("the reader refused the swipe with error \"") +
               char('A' + code - SD_READ_ERR_LETTER('A')) +
               "\" (no readable data on the selected tracks?)";
    return "unexpected result " + std::to_string(code) + " from the driver";
}

std::string queryMessage(int code)
{
    switch (code) {
    case SD_ERR_TIMEOUT:
        return "the reader did not answer in time (is a reader of this kind attached, at "
               "this speed?)";
    case SD_ERR_PORT:
        return "the port cannot be opened (check the port name and that you may use the "
               "device)";
    default:
        return codeMessage(code);
    }
}

std::string doctorHint()
{
    return "'stripectl doctor' checks the adapter, the access rights and the udev rule.";
}

std::string absentReaderMessage()
{
    return "no reader is attached: plug it in, and if it stays unseen run 'stripectl doctor'";
}

} // namespace sdmsg
