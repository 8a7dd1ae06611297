// CannedResponse.cpp -- the bytes of the listener's answers.
#include "CannedResponse.h"

#define KV_VENDOR_HOST "korvane.io"

const char kCannedResponse[] =
    "HTTP/1.1 200 OK\r\n"
    "Date: Mon, 25 Jul 2005 21:22:47 GMT\r\n"
    "Server: TAVR http version 1.0\r\n"
    "Content-Type: text/xml; charset=\"utf-8\"\r\n"
    "Content-Length: 460\r\n"
    "Connection: close\r\n"
    "\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "\r\n"
    "<SOAP-ENV:Envelope"
    " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:bsi=\"http://" KV_VENDOR_HOST "/schemas/imaging/con/bsi/workflow/2003/08/21\">\r\n"
    "<SOAP-ENV:Body>\r\n"
    "<m:DeliverResponse xmlns:m=\"http://" KV_VENDOR_HOST "/schemas/imaging/con/bsi/2003/08/21\">\r\n"
    "</m:DeliverResponse>\r\n"
    "</SOAP-ENV:Body>\r\n"
    "</SOAP-ENV:Envelope>\r\n"
    "\r\n";

static_assert(sizeof(kCannedResponse) - 1 == 628, "the response's length line promises a 460-byte body");

const char kContinueResponse[] = "HTTP/1.1 100 Continue\r\n\r\n";

const char* StatusText(unsigned status) {
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

std::string RefusalResponse(unsigned status, const char* reason) {
    std::string body = std::to_string(status) + " " + StatusText(status) + ": " + reason + "\r\n";
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) +
                           "\r\n"
                           "Content-Type: text/plain\r\n"
                           "Content-Length: " +
                           std::to_string(body.size()) + "\r\n";
    // A busy or failing listener says when to come back; printers that retry on 5xx wait that long.
    if (status == 503) response += "Retry-After: " + std::to_string(kRetryAfterSeconds) + "\r\n";
    return response + "Connection: close\r\n\r\n" + body;
}

std::string StatusBody(unsigned port) { return "KVLUMEN.Listener listening on port " + std::to_string(port) + "\r\n"; }
