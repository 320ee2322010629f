#include "updater/server/HTTPResponse.h"

HTTPResponse::HTTPResponse(const char* request) : request(request), status(0) {}

void HTTPResponse::set_status(long status) { this->status = status; }

void HTTPResponse::process(const char* data, unsigned long n) { response.append(data, n); }

char* HTTPResponse::get_response() { return response.data(); }

long HTTPResponse::get_status() const { return status; }

const char* HTTPResponse::get_request() const { return request.c_str(); }

size_t HTTPResponse::get_response_size() const { return response.size(); }

void HTTPResponse::set_redirect(const char* url) { redirect = url != nullptr ? url : ""; }

const std::string& HTTPResponse::get_redirect() const { return redirect; }
