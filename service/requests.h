// The WebSocket protocol of stripedrvd: one JSON object per text message.
//
// A client sends {"id":ID,"op":"read"|"write"|"info"|"cancel",...}; every
// answer and event carries the ID back. This file turns a message into a
// checked Request and builds the answers; it does no I/O.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace stripedrvd {

// Keys keep their order: "id" first, as a person reading the traffic expects.
using json = nlohmann::ordered_json;

enum class Op { Read, Write, Info, Cancel };

struct Request {
    // The texts to write are wiped with every copy of the request.
    Request() = default;
    Request(const Request &) = default;
    Request(Request &&) = default;
    Request &operator=(const Request &) = default;
    Request &operator=(Request &&) = default;
    ~Request();

    json id;               // a number or a string, echoed in every answer
    Op op = Op::Info;
    int tracks = 23;       // 2, 3 or 23
    int timeout = 20;      // seconds to wait for the swipe
    std::string track2;    // write: the texts to put on the card
    std::string track3;
    bool verify = false;   // write: read the card back and compare
    json target;           // cancel: the id of the one request to cut; null
                           // cuts every request of the connection
};

// A message taken apart: either a request, or the problem with it (and the
// id, when one could be read, for the answer).
struct Parsed {
    bool ok = false;
    Request request;
    std::string problem;
};

// Checks a message's JSON and fields. Never throws.
Parsed parseRequest(const std::string &message);

// True for the operations that use the reader (and so wait in its queue).
bool usesReader(Op op);
const char *opName(Op op);

// {"id":ID,"ok":false,"code":CODE,"error":TEXT}
json failureAnswer(const json &id, int code, const std::string &error);
// {"id":ID,"event":"waiting"}
json waitingEvent(const json &id);
// {"id":ID,"ok":true,"track2":...,"track3":...} with the tracks read (a
// track not asked for is null), plus "track2_fields" when track 2 has the
// layout of a payment card.
json readAnswer(const json &id, int tracks, const std::string &track2,
                const std::string &track3);

// The English sentence for a library result, the one stripectl prints.
std::string codeText(int code);

} // namespace stripedrvd
