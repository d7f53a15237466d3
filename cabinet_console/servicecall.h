#pragma once

#include "rackview.h"
#include "routes.h"

// Shared steps of the service actions: reading the cell a request names and
// sending a command to the controller on behalf of the logged-in account.
namespace console {

// The "cell" of a request body (a number or a decimal text) when it names a
// cell of the rack; otherwise *refusal holds the 400 reply.
bool requestedCell(const ApiRequest &req, rackview::Cell *cell, ApiReply *refusal);

// Sends the command with the key "operator" set to the caller's account name
// (the controller ignores keys it does not know; its journal records it).
// The reply to the page: {"reply": <controller's object>, "error": <its error>},
// or 503 when another command is in flight (nothing sent), 504 when the
// controller did not answer in time, 502 when it could not be reached or
// answered garbage.
ApiReply callController(const Context &context, const ApiRequest &req, QJsonObject command);

} // namespace console
