#!/bin/sh
# Writes the model files of this folder and what the tool predicts with them:
# sh make.sh PATH/TO/quorv. The models were written by the tool at 4700a12;
# run again only to add cases, never to refresh the pinned answers.
set -eu
quorv=$1
cd "$(dirname "$0")"
[ -f single.model ] || "$quorv" train train.csv -o single.model --vigilance 0.9
[ -f votes.model ] || "$quorv" train train.csv -o votes.model --votes 3 --seed 5 --vigilance 0.9
[ -f forest.model ] || "$quorv" train train.csv -o forest.model --votes 5 --max-features 0.5 --seed 2 --vigilance 0.95
[ -f named.model ] || "$quorv" train named.csv -o named.model --votes 3 --seed 7 --vigilance 0.85
mkdir -p expected
: > cases.txt
for model in single votes forest named; do
  data=rows.csv
  [ "$model" = named ] && data=named_rows.csv
  for vigilance in model 1; do
    for how in nearest unknown; do
      name=$model-$vigilance-$how
      set -- classify "$model.model" "$data" -o "expected/$name.csv" --proba --keep id --unclassified "$how"
      [ "$vigilance" = model ] || set -- "$@" --vigilance "$vigilance"
      "$quorv" "$@" | sed "s|expected/$name.csv|PREDICTIONS|" > "expected/$name.txt"
      echo "$name $model.model $data $vigilance $how" >> cases.txt
    done
  done
done
