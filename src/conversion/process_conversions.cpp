#include "conversion/process_conversions.h"

#include <mutex>

#include "conversion/converter_registry.h"
#include "server/activity_log.h"

namespace rureza {
namespace {

std::mutex g_mutex;
std::shared_ptr<Conversions> g_conversions;  // guarded by g_mutex

}  // namespace

std::shared_ptr<Conversions> StartProcessConversions(const ConversionSettings& settings) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_conversions) return g_conversions;
  // Without a converter nothing can be converted: conversion is off, and the log says why once,
  // instead of sources listed at estimates forever and plays that fail without a word.
  const std::string unusable = ConverterRegistry::Unusable(settings.converterProgram);
  if (!unusable.empty()) {
    AppendLog("Songs and photos of other formats are not converted: the converter " + unusable);
    return nullptr;
  }
  std::string problem;
  g_conversions = Conversions::Start(settings, &problem);
  if (!problem.empty()) AppendLog(problem);
  return g_conversions;
}

std::shared_ptr<Conversions> ConversionsFor(const LibraryOptions& options) {
  if (!options.convert) return nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_conversions;
}

VideoRequest VideoRequestFor(const LibraryOptions& options) {
  VideoRequest request;
  request.standard = StandardOf(options.videoStandard);
  request.subtitles = options.subtitles;
  const std::string locale = UserLocaleName();
  request.codePage = AdapterCharsetForLocale(locale);
  request.language = LocaleLanguage(locale).substr(0, 15);
  return request;
}

void StopProcessConversions() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_conversions) g_conversions->Stop();
}

void EndProcessConversions() {
  std::shared_ptr<Conversions> ended;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ended.swap(g_conversions);
  }
  // The last holder waits; streams that still hold them let go as they end.
  if (ended) ended->Stop();
}

}  // namespace rureza
