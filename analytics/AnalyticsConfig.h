#pragma once

// Analytics settings fixed when the program is built. An empty measurement
// identifier or API secret leaves the client unconfigured: no event is sent.
// The identifier and the secret are never to be shown or logged.

// Collection endpoint, path included, without query.
const char* DefaultAnalyticsEndpoint();

const char* BuiltInMeasurementId();

const char* BuiltInApiSecret();
