/*
 * reqjson.h - the request library: reads one field of a JSON request.
 *
 * The device-information call of stripedrv.so loads this library at run
 * time from working directory + "/QOVA/libreqjson.so" and asks it for the
 * fields "RequestPort" and "RequestBaudRate". See README.md beside this
 * file for the request format.
 */
#ifndef REQJSON_H
#define REQJSON_H

#if defined(__GNUC__)
#define REQJSON_API __attribute__((visibility("default")))
#else
#define REQJSON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the value buffer: 127 bytes of text and the NUL. */
#define REQJSON_VALUE_BUF 128

/* Looks up szField among the members of the JSON object szRequest and
 * writes its value into szValue (REQJSON_VALUE_BUF bytes) as a NUL-terminated
 * text: a string as its text, a number as its decimal text. An absent field,
 * a value of another kind, a NULL request or field name, or a request that
 * is not a JSON object gives an empty text. A value longer than 127 bytes is
 * cut at 127 bytes, or earlier so that no UTF-8 character is split.
 *
 * Result: 0 when a value was found (it may be an empty string), -1 when the
 * text is empty for any other reason. With a NULL szValue nothing is
 * written and the result is -1. Never throws. */
REQJSON_API int ReqFieldGet(const char *szRequest, const char *szField, char *szValue);

#ifdef __cplusplus
}
#endif

#endif /* REQJSON_H */
