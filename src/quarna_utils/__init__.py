"""Query model of the platform: condition trees, filters, orderings, paginators and model bases."""
