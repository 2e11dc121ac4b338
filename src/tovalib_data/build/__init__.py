"""From tables to graph arrays: table columns (`tables`), keys (`keys`,
`lookup`), the schema that ties them (`schema`), times inherited along
foreign keys (`inherit`) and the time-sorted CSC arrays (`csc`)."""
