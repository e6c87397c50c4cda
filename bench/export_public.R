# Public data sets the project does not ship, written as CSVs in the form of
# data/*.csv (feature columns, then `label` with class codes 1..C), for the
# measurements of bench/defaults_bench.py. They have repeats, conflicting
# labels or overlapping classes, which the bundled sets mostly lack.
#   Rscript bench/export_public.R OUT_FOLDER
# Needs the Debian packages r-base-core and r-cran-mlbench.
suppressMessages(library(mlbench))
out <- commandArgs(trailingOnly = TRUE)[1]
if (is.na(out)) stop("usage: Rscript export_public.R OUT_FOLDER")
dir.create(out, showWarnings = FALSE, recursive = TRUE)

numeric_frame <- function(x) {
  as.data.frame(lapply(x, function(col) {
    if (is.factor(col)) {
      lev <- levels(col)
      if (all(lev %in% c("n", "y"))) return(ifelse(is.na(col), 0.5, ifelse(col == "y", 1, 0)))
      return(as.numeric(as.character(col)))
    }
    as.numeric(col)
  }))
}

write_set <- function(name, x, y) {
  x <- numeric_frame(x)
  keep <- complete.cases(x) & !is.na(y)
  x <- x[keep, , drop = FALSE]
  y <- droplevels(as.factor(y[keep]))
  names(x) <- make.names(names(x), unique = TRUE)
  x$label <- as.integer(y)
  write.csv(x, file.path(out, paste0(name, ".csv")), row.names = FALSE, quote = FALSE)
  cat(sprintf("%-16s %5d rows %3d features %2d classes\n", name, nrow(x), ncol(x) - 1, nlevels(y)))
}

data(BreastCancer)  # the original Wisconsin set: duplicates with both labels
write_set("wisconsin", BreastCancer[, 2:10], BreastCancer$Class)
data(HouseVotes84)  # y/n votes, a missing vote 0.5
write_set("votes", HouseVotes84[, -1], HouseVotes84$Class)
data(Zoo)
write_set("zoo", Zoo[, -17], Zoo$type)
data(Soybean)  # factor codes; rows with a missing cell dropped
write_set("soybean", Soybean[, -1], Soybean$Class)
data(DNA)
write_set("dna", DNA[, -181], DNA$Class)
data(PimaIndiansDiabetes)
write_set("pima", PimaIndiansDiabetes[, -9], PimaIndiansDiabetes$diabetes)
data(Vowel)
write_set("vowel", Vowel[, -11], Vowel$Class)
set.seed(1)
data(LetterRecognition)  # 16 integer features of 0..15: many repeats
letters_rows <- sample(nrow(LetterRecognition), 3000)
write_set("letters", LetterRecognition[letters_rows, -1], LetterRecognition$lettr[letters_rows])
data(Shuttle)  # one class of 80 %, classes of a few rows
shuttle_rows <- sample(nrow(Shuttle), 3000)
write_set("shuttle", Shuttle[shuttle_rows, -10], Shuttle$Class[shuttle_rows])
