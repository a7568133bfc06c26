// The survey of a fleet: one row per agent, worst first (no answer, then the largest |offset|,
// then the oldest verification), printed as an aligned table, JSON lines or CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "responder/client/exposition.h"

struct SurveyRow {
    std::string target;
    bool answered;
    int64_t offsetMs; // reference minus local clock; positive: the local clock is behind
    bool verified;    // the history named a verification
    uint32_t lastVerification;
    int64_t verificationAgeSeconds; // on the agent's clock; -1 when not verified
    std::string computer;
    std::string version;
    std::string partner;
    double roundTripMs;
};

SurveyRow SurveyRowOf(const AgentReading& reading);
// Worst first; equal rows keep the order of their targets.
void SortWorstFirst(std::vector<SurveyRow>* rows);

std::string RenderSurveyTable(const std::vector<SurveyRow>& rows);
std::string RenderSurveyJson(const std::vector<SurveyRow>& rows);
std::string RenderSurveyCsv(const std::vector<SurveyRow>& rows);
