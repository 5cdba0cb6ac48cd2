#include "AnalyticsConfig.h"

const char* DefaultAnalyticsEndpoint()
{
    return ORVANTA_ANALYTICS_URL;
}

const char* BuiltInMeasurementId()
{
    return ORVANTA_GA_MEASUREMENT_ID;
}

const char* BuiltInApiSecret()
{
    return ORVANTA_GA_API_SECRET;
}
