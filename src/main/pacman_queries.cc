#include "main/pacman_queries.h"

#include <utility>

#include "queries/catalog_query.h"
#include "queries/details_query.h"
#include "runtime/runtime.h"

namespace pacpick {

rt::JoinHandle PacmanQueries::start_search(std::string query, Mode mode,
                                           SearchGeneration generation,
                                           rt::Sender<QueryMessage> sender) {
    return rt::spawn(run_catalog_query(std::move(query), mode, generation, std::move(sender)));
}

rt::JoinHandle PacmanQueries::start_details(std::string name, DetailsGeneration generation,
                                            rt::Sender<QueryMessage> sender) {
    return rt::spawn(run_details_query(std::move(name), generation, std::move(sender)));
}

}  // namespace pacpick
